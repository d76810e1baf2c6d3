// Where the two largest arrays of the reference tape live: the node array that gradientForward
// records into and the adjoints that transformerBackward sweeps, each hundreds of megabytes at the
// community shape. The array of the last tape released, and the adjoints of the last backward that
// finished, wait here for the next call, so that steady training writes into pages already mapped
// instead of faulting fresh zeroed pages in on every call. One array of each is kept, the latest,
// so what is held is sized for the batch last recorded, never for a larger one before it; a kept
// array that does not fit a call is released before a fresh one is made. Fresh arrays are advised
// into huge pages where the system offers them. Safe to call from several threads.
#pragma once

#include <cstdint>
#include <vector>

#include "reference/tape.h"

namespace Halcyne::Core::Vestra {

// An array of exactly count nodes, the kept one when it has room and is not more than twice that,
// otherwise a fresh one. The nodes hold whatever they held: the recorder overwrites every one.
[[nodiscard]] std::vector<TapeNode> takeNodeStorage(std::uint64_t count);
// count zero adjoints, in the kept array on the same terms. A kept array offered back as zeroed is
// not cleared again (only what it lacks of count is filled in).
[[nodiscard]] std::vector<double> takeAdjointStorage(std::uint64_t count);

// Offers an array back; it replaces the one kept. zeroed says that every element of the adjoints
// is zero.
void keepNodeStorage(std::vector<TapeNode> nodes) noexcept;
void keepAdjointStorage(std::vector<double> adjoint, bool zeroed) noexcept;

}  // namespace Halcyne::Core::Vestra

// `vestra inspect FILE`: what a VTT checkpoint or a VTM artifact holds, for a person to read: its
// kind, size, checksum status, fingerprints, the model's shape (from the model.json of its run when
// one lies beside it), counters, tensors and parameter count.
#pragma once

#include <filesystem>
#include <ostream>

namespace Halcyne::Core::Vestra::Cli {

// Writes one "label  value" line per fact. A file of neither kind, a broken layout or a checksum
// mismatch throws std::runtime_error naming the file, after what could be read has been written.
void inspectFile(const std::filesystem::path& file, std::ostream& out);

}  // namespace Halcyne::Core::Vestra::Cli

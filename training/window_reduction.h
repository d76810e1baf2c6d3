// Several processes that train one model: each accumulates its share of an optimizer window's
// batches, then every process's window sums are replaced by the sums over all of them, so that every
// process takes the same step. Implemented over an existing engine (MPI) by the command that starts
// the processes; a single process never reduces.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "training/training_counters.h"

namespace Halcyne::Core::Vestra {

class WindowReduction {
  public:
    virtual ~WindowReduction() = default;

    [[nodiscard]] virtual std::uint32_t rank() const = 0;
    [[nodiscard]] virtual std::uint32_t ranks() const = 0;
    // Replaces `values` on every rank with their sums over the ranks, added in rank order, so that a
    // fixed number of ranks repeats bit for bit.
    virtual void sum(std::span<double> values) = 0;
    // Whether the engine also sums device memory where it lies (NCCL on GPUs); the device trainer
    // then hands it its gradients with sumOnDevice instead of through the host.
    [[nodiscard]] virtual bool sumsOnDevice() const { return false; }
    // Sums `count` doubles of device memory over the ranks, in place, in order on the CUDA stream
    // `stream`; only called where sumsOnDevice() is true, between deviceSumsBegin and deviceSumsEnd.
    virtual void deviceSumsBegin() {}
    virtual void sumOnDevice(double* values, std::uint64_t count, void* stream);
    virtual void deviceSumsEnd() {}
};

// A trainer's window as one reduction packs it: every gradient sum in canonical tensor order, then
// the window's summed loss, its batch count and the examples it took (integers far below 2^53, so
// exact as doubles). `gradients` is filled by the trainer; reduce() sums the whole and sets the
// counters from the summed totals.
class PackedWindow {
  public:
    explicit PackedWindow(std::uint64_t gradientCount) : values_(gradientCount + 3) {}

    [[nodiscard]] std::span<double> gradients() { return std::span(values_).first(values_.size() - 3); }
    void reduce(WindowReduction& reduction, TrainingCounters& counters);

  private:
    std::vector<double> values_;
};

}  // namespace Halcyne::Core::Vestra

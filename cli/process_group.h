// The processes of one training job. A run that mpirun started is one rank of a job, whose ranks meet
// through MPI: they split each optimizer window's batches, sum their window sums before the step
// (in rank order, so that a job repeats bit for bit) and decide together when to stop or refuse. On
// the GPU build NCCL sums the device gradients, over a communicator set up through MPI. Any other
// run is the only rank and never calls MPI; a build without MPI has only such runs.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>

#include "training/window_reduction.h"

namespace Halcyne::Core::Vestra::Cli {

// A failure every rank of the job reaches together (a refused input, a refused step, a failed write
// of rank 0 that the others were told of): rank 0 reports it, the others leave quietly, and no rank
// is left waiting.
class AgreedFailure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class ProcessGroup final : public WindowReduction {
  public:
    // The job this process belongs to, joined (MPI_Init) on first use when mpirun started it.
    static ProcessGroup& instance();

    [[nodiscard]] std::uint32_t rank() const override { return rank_; }
    [[nodiscard]] std::uint32_t ranks() const override { return ranks_; }
    [[nodiscard]] bool root() const { return rank_ == 0; }
    // Whether mpirun started this process (a job of one rank included): its windows are reduced.
    [[nodiscard]] bool joined() const { return joined_; }
    void sum(std::span<double> values) override;
    [[nodiscard]] bool sumsOnDevice() const override;
    void deviceSumsBegin() override;
    void sumOnDevice(double* values, std::uint64_t count, void* stream) override;
    void deviceSumsEnd() override;

    // Whether every rank passed the same value.
    [[nodiscard]] bool agree(std::uint64_t value);
    // Whether any rank passed true.
    [[nodiscard]] bool any(bool flag);
    // Runs `action` on rank 0 alone; when it throws, every rank throws AgreedFailure (rank 0's with
    // the message), so that a failed write of rank 0 ends the job cleanly.
    void onRoot(const std::function<void()>& action);
    // Ends every rank of the job at once with `status` (MPI_Abort); a single process just exits.
    [[noreturn]] void abort(int status);

    ~ProcessGroup() override;
    ProcessGroup(const ProcessGroup&) = delete;
    ProcessGroup& operator=(const ProcessGroup&) = delete;

  private:
    ProcessGroup();

    std::uint32_t rank_ = 0;
    std::uint32_t ranks_ = 1;
    bool joined_ = false;
    [[maybe_unused]] void* deviceCommunicator_ = nullptr;  // NCCL's, made on first use; unused without NCCL
};

}  // namespace Halcyne::Core::Vestra::Cli

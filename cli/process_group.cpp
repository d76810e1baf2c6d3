#include "cli/process_group.h"

#include <cstdlib>
#include <string_view>
#include <vector>

#if defined(VESTRA_MPI)
#include <mpi.h>
#endif
#if defined(VESTRA_NCCL)
#include <nccl.h>
#endif

namespace Halcyne::Core::Vestra::Cli {
namespace {

// The size of the job the launcher says this process belongs to (Open MPI's mpirun, or a PMI
// launcher), 0 when none started it.
std::uint64_t launchedRanks() {
    for (const char* variable : {"OMPI_COMM_WORLD_SIZE", "PMI_SIZE", "PMIX_SIZE"}) {
        if (const char* value = std::getenv(variable); value != nullptr) {
            return std::strtoull(value, nullptr, 10);
        }
    }
    return 0;
}

#if defined(VESTRA_MPI)
void checkMpi(int status, const char* call) {
    if (status != MPI_SUCCESS) {
        char text[MPI_MAX_ERROR_STRING];
        int length = 0;
        MPI_Error_string(status, text, &length);
        throw std::runtime_error(std::string(call) + ": " + std::string(text, static_cast<std::size_t>(length)));
    }
}
#endif

}  // namespace

ProcessGroup& ProcessGroup::instance() {
    static ProcessGroup group;
    return group;
}

ProcessGroup::ProcessGroup() {
    if (launchedRanks() == 0) {
        return;
    }
#if defined(VESTRA_MPI)
    int provided = 0;
    checkMpi(MPI_Init_thread(nullptr, nullptr, MPI_THREAD_FUNNELED, &provided), "MPI_Init_thread");
    joined_ = true;
    // Failures come back as statuses, which checkMpi turns into exceptions, rather than aborting.
    checkMpi(MPI_Comm_set_errhandler(MPI_COMM_WORLD, MPI_ERRORS_RETURN), "MPI_Comm_set_errhandler");
    int rank = 0;
    int ranks = 1;
    checkMpi(MPI_Comm_rank(MPI_COMM_WORLD, &rank), "MPI_Comm_rank");
    checkMpi(MPI_Comm_size(MPI_COMM_WORLD, &ranks), "MPI_Comm_size");
    rank_ = static_cast<std::uint32_t>(rank);
    ranks_ = static_cast<std::uint32_t>(ranks);
#else
    if (launchedRanks() > 1) {
        throw std::runtime_error("this vestra was built without MPI, so it cannot train as one of " +
                                 std::to_string(launchedRanks()) + " processes; build it where MPI is installed");
    }
#endif
}

ProcessGroup::~ProcessGroup() {
#if defined(VESTRA_NCCL)
    if (deviceCommunicator_ != nullptr) {
        ncclCommDestroy(static_cast<ncclComm_t>(deviceCommunicator_));
    }
#endif
#if defined(VESTRA_MPI)
    if (joined_) {
        MPI_Finalize();
    }
#endif
}

#if defined(VESTRA_NCCL)
namespace {

void checkNccl(ncclResult_t status, const char* call) {
    if (status != ncclSuccess) {
        throw std::runtime_error(std::string(call) + ": " + ncclGetErrorString(status));
    }
}

}  // namespace

bool ProcessGroup::sumsOnDevice() const {
    return joined_;
}

void ProcessGroup::deviceSumsBegin() {
    if (deviceCommunicator_ == nullptr) {
        // Rank 0 makes the communicator's identity and MPI hands it to the others; every rank then
        // joins on the device its session selected.
        ncclUniqueId identity{};
        if (root()) {
            checkNccl(ncclGetUniqueId(&identity), "ncclGetUniqueId");
        }
        checkMpi(MPI_Bcast(&identity, sizeof identity, MPI_BYTE, 0, MPI_COMM_WORLD), "MPI_Bcast");
        ncclComm_t communicator = nullptr;
        checkNccl(ncclCommInitRank(&communicator, static_cast<int>(ranks_), identity, static_cast<int>(rank_)),
                  "ncclCommInitRank");
        deviceCommunicator_ = communicator;
    }
    checkNccl(ncclGroupStart(), "ncclGroupStart");
}

void ProcessGroup::sumOnDevice(double* values, std::uint64_t count, void* stream) {
    checkNccl(ncclAllReduce(values, values, count, ncclFloat64, ncclSum, static_cast<ncclComm_t>(deviceCommunicator_),
                            static_cast<cudaStream_t>(stream)),
              "ncclAllReduce");
}

void ProcessGroup::deviceSumsEnd() {
    checkNccl(ncclGroupEnd(), "ncclGroupEnd");
}
#else
bool ProcessGroup::sumsOnDevice() const {
    return false;
}

void ProcessGroup::deviceSumsBegin() {}

void ProcessGroup::sumOnDevice(double* values, std::uint64_t count, void* stream) {
    WindowReduction::sumOnDevice(values, count, stream);
}

void ProcessGroup::deviceSumsEnd() {}
#endif

void ProcessGroup::sum([[maybe_unused]] std::span<double> values) {
    if (ranks_ == 1) {
        return;
    }
#if defined(VESTRA_MPI)
    std::vector<double> all(values.size() * ranks_);
    checkMpi(MPI_Allgather(values.data(), static_cast<int>(values.size()), MPI_DOUBLE, all.data(),
                           static_cast<int>(values.size()), MPI_DOUBLE, MPI_COMM_WORLD),
             "MPI_Allgather");
    for (std::size_t i = 0; i < values.size(); ++i) {
        double total = 0.0;
        for (std::uint32_t rank = 0; rank < ranks_; ++rank) {
            total += all[rank * values.size() + i];
        }
        values[i] = total;
    }
#endif
}

bool ProcessGroup::agree([[maybe_unused]] std::uint64_t value) {
    if (ranks_ == 1) {
        return true;
    }
#if defined(VESTRA_MPI)
    const unsigned long long mine = value;
    unsigned long long least = 0;
    unsigned long long most = 0;
    checkMpi(MPI_Allreduce(&mine, &least, 1, MPI_UNSIGNED_LONG_LONG, MPI_MIN, MPI_COMM_WORLD), "MPI_Allreduce");
    checkMpi(MPI_Allreduce(&mine, &most, 1, MPI_UNSIGNED_LONG_LONG, MPI_MAX, MPI_COMM_WORLD), "MPI_Allreduce");
    return least == most;
#else
    return true;
#endif
}

bool ProcessGroup::any(bool flag) {
    if (ranks_ == 1) {
        return flag;
    }
#if defined(VESTRA_MPI)
    int mine = flag ? 1 : 0;
    int result = 0;
    checkMpi(MPI_Allreduce(&mine, &result, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD), "MPI_Allreduce");
    return result != 0;
#else
    return flag;
#endif
}

void ProcessGroup::onRoot(const std::function<void()>& action) {
    if (ranks_ == 1) {
        action();
        return;
    }
    std::string failure;
    if (root()) {
        try {
            action();
        } catch (const std::exception& error) {
            failure = error.what();
        }
    }
    if (any(!failure.empty())) {
        throw AgreedFailure(failure);
    }
}

void ProcessGroup::abort(int status) {
#if defined(VESTRA_MPI)
    if (joined_) {
        MPI_Abort(MPI_COMM_WORLD, status);
    }
#endif
    std::exit(status);
}

}  // namespace Halcyne::Core::Vestra::Cli

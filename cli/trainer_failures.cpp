#include "cli/trainer_failures.h"

#include <new>
#include <stdexcept>
#include <string_view>

#include "cli/run_trainer.h"

namespace Halcyne::Core::Vestra::Cli {
namespace {

bool mentions(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

std::string divergence(std::string_view what) {
    if (mentions(what, "optimizer")) {
        return "the optimizer step would make the weights non-finite";
    }
    if (mentions(what, "gradient")) {
        return "the gradients are not finite";
    }
    if (mentions(what, "loss")) {
        return "the loss is not finite";
    }
    return std::string(what);
}

}  // namespace

std::string deviceWords(const std::string& device) {
    if (device == referenceDevice) {
        return "the CPU reference trainer";
    }
    if (device == "cpu") {
        return "the CPU device (this build runs the GPU code on the processor)";
    }
    if (device == "cuda") {
        return "the GPU";
    }
    return "device '" + device + "'";
}

void rethrowTrainerFailure(const std::string& device, std::uint64_t step) {
    const std::string where =
        (step > 0 ? "step " + std::to_string(step) + " on " : "the start on ") + deviceWords(device);
    try {
        throw;
    } catch (const std::domain_error& error) {
        throw std::runtime_error("training diverged at " + where + ": " + divergence(error.what()) +
                                 "; the run keeps its last checkpoint. Start a new run with a lower --lr or a "
                                 "longer --warmup");
    } catch (const std::bad_alloc&) {
        throw std::runtime_error("out of memory at " + where + "; use a smaller --batch or a smaller model");
    } catch (const std::runtime_error& error) {
        if (!mentions(error.what(), "out of memory")) {
            throw;
        }
        throw std::runtime_error("out of memory at " + where + " (" + error.what() +
                                 "); use a smaller --batch or a smaller model");
    }
}

}  // namespace Halcyne::Core::Vestra::Cli

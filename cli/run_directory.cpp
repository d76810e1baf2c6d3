#include "cli/run_directory.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <system_error>

#include "cli/file_io.h"

namespace Halcyne::Core::Vestra::Cli {

RunDirectory RunDirectory::create(const std::filesystem::path& root) {
    const RunDirectory run(root);
    std::error_code error;
    if (std::filesystem::exists(root, error)) {
        if (!std::filesystem::is_directory(root, error)) {
            throw std::runtime_error(displayPath(root) + " exists and is not a directory");
        }
        if (holdsRun(root) && std::filesystem::exists(run.checkpointFile(), error)) {
            throw std::runtime_error(displayPath(root) + " already holds a run: continue it with --resume " +
                                     displayPath(root) + ", or choose another directory");
        }
        run.forgetUnsavedRun();
        if (!std::filesystem::is_empty(root, error) || error) {
            throw std::runtime_error(displayPath(root) + " is not empty: a new run needs an empty directory");
        }
        return run;
    }
    if (!std::filesystem::create_directories(root, error) && error) {
        throw std::runtime_error("cannot create " + displayPath(root) + ": " + error.message());
    }
    return run;
}

RunDirectory RunDirectory::open(const std::filesystem::path& root) {
    const RunDirectory run(root);
    std::error_code error;
    if (holdsRun(root) && !std::filesystem::exists(run.checkpointFile(), error)) {
        throw std::runtime_error(displayPath(root) +
                                 " holds a run stopped before its first checkpoint: start it again "
                                 "with vestra train TEXT_FILE --run " +
                                 displayPath(root));
    }
    for (const auto& file : {run.modelFile(), run.trainingFile(), run.checkpointFile()}) {
        if (!std::filesystem::is_regular_file(file, error)) {
            throw std::runtime_error(displayPath(root) + " holds no run (" + file.filename().string() + " is missing)");
        }
    }
    return run;
}

void RunDirectory::forgetUnsavedRun() const {
    if (!holdsRun(root_)) {
        return;
    }
    // A run stopped before its first checkpoint left only what it writes first; anything else in
    // the directory is not the run's, so the directory stays taken.
    const std::filesystem::path ours[] = {modelFile(),     trainingFile(), metricsFile(),
                                          lossCurveFile(), artifactFile(), checkpointFile().string() + ".tmp"};
    for (const auto& entry : std::filesystem::directory_iterator(root_)) {
        if (std::find(std::begin(ours), std::end(ours), entry.path()) == std::end(ours)) {
            return;
        }
    }
    for (const auto& file : ours) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }
}

bool RunDirectory::holdsRun(const std::filesystem::path& root) {
    std::error_code error;
    return std::filesystem::is_regular_file(RunDirectory(root).modelFile(), error);
}

}  // namespace Halcyne::Core::Vestra::Cli

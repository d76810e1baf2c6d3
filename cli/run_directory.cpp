#include "cli/run_directory.h"

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
        if (holdsRun(root)) {
            throw std::runtime_error(displayPath(root) + " already holds a run: continue it with --resume " +
                                     displayPath(root) + ", or choose another directory");
        }
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
    for (const auto& file : {run.modelFile(), run.trainingFile(), run.checkpointFile()}) {
        if (!std::filesystem::is_regular_file(file, error)) {
            throw std::runtime_error(displayPath(root) + " holds no run (" + file.filename().string() + " is missing)");
        }
    }
    return run;
}

bool RunDirectory::holdsRun(const std::filesystem::path& root) {
    std::error_code error;
    return std::filesystem::is_regular_file(RunDirectory(root).modelFile(), error);
}

}  // namespace Halcyne::Core::Vestra::Cli

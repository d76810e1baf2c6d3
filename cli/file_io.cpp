#include "cli/file_io.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace Halcyne::Core::Vestra::Cli {
namespace {

[[noreturn]] void fail(const char* action, const std::filesystem::path& path, int error) {
    std::string message = std::string("cannot ") + action + " " + displayPath(path);
    if (error != 0) {
        message += ": " + std::generic_category().message(error);
    }
    throw std::runtime_error(message);
}

}  // namespace

std::string displayPath(const std::filesystem::path& path) {
    return path.string();
}

std::string readFile(const std::filesystem::path& path) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        fail("read", path, EISDIR);
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("read", path, errno);
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        fail("read", path, errno);
    }
    return content;
}

void writeFileAtomically(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    errno = 0;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    std::error_code error;
    if (out) {
        std::filesystem::rename(temporary, path, error);
        if (!error) {
            return;
        }
    }
    const int reason = error ? error.value() : errno;
    std::filesystem::remove(temporary, error);
    fail("write", path, reason);
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view text) {
    writeFileAtomically(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

}  // namespace Halcyne::Core::Vestra::Cli

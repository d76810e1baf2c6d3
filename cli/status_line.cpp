#include "cli/status_line.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace Halcyne::Core::Vestra::Cli {

bool isTerminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return ::isatty(::fileno(stream)) != 0;
#endif
}

StatusLine::~StatusLine() {
    end();
}

void StatusLine::show(std::string_view text) {
    const std::size_t pad = width_ > text.size() ? width_ - text.size() : 0;
    std::fprintf(out_, "\r%.*s%*s", static_cast<int>(text.size()), text.data(), static_cast<int>(pad), "");
    width_ = text.size();
    std::fflush(out_);
}

void StatusLine::end() {
    if (width_ > 0) {
        std::fputc('\n', out_);
        width_ = 0;
        std::fflush(out_);
    }
}

void StatusLine::erase() {
    if (width_ > 0) {
        std::fprintf(out_, "\r%*s\r", static_cast<int>(width_), "");
        width_ = 0;
        std::fflush(out_);
    }
}

}  // namespace Halcyne::Core::Vestra::Cli

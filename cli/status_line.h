// One line of a terminal rewritten in place: each text replaces the last, with spaces over the rest
// of a longer one, so that no terminal control sequences are needed. A line still open when the
// StatusLine goes is ended, so that whatever is written next (an error) starts a line of its own.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string_view>

namespace Halcyne::Core::Vestra::Cli {

// Whether the stream is an interactive terminal.
[[nodiscard]] bool isTerminal(std::FILE* stream);

class StatusLine {
  public:
    explicit StatusLine(std::FILE* out) : out_(out) {}
    ~StatusLine();
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void show(std::string_view text);
    // Moves below the line, which stays as it was last shown.
    void end();
    // Blanks the line and returns to its start, so that the next output takes its place.
    void erase();

  private:
    std::FILE* out_;
    std::size_t width_ = 0;  // of the text shown; 0 when no line is open
};

}  // namespace Halcyne::Core::Vestra::Cli

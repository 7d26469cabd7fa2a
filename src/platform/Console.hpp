#pragma once

#include <optional>
#include <string>

namespace platform {

// Writes the prompt to standard output without a line break, then reads one line from
// standard input and returns it without its line end (CR LF or LF). Nothing at end of input
// (Ctrl+D, a closed or exhausted standard input).
std::optional<std::string> promptLine(const std::string& prompt);

// As promptLine, but when standard input is a terminal the typed text is not echoed; the
// terminal is restored afterwards, and a line break is printed so that the next output
// starts on a new line. Piped input is read as an ordinary line.
std::optional<std::string> promptHiddenLine(const std::string& prompt);

// Writing to a standard output whose reader is gone (a closed pipe) fails the write instead
// of ending the process. Called once at the start of main.
void ignoreBrokenPipe();

}  // namespace platform

#include "platform/Console.hpp"

#include <windows.h>

#include <iostream>

#include "platform/ConsoleLine.hpp"

namespace platform {

namespace {

// Echo off for its lifetime; the console mode is restored on every way out.
class EchoOff {
  public:
    explicit EchoOff(HANDLE input) : input(input) {
        if (GetConsoleMode(input, &savedMode)) {
            active = SetConsoleMode(input, savedMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
        }
    }
    ~EchoOff() {
        if (active) {
            SetConsoleMode(input, savedMode);
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    HANDLE input;
    DWORD savedMode = 0;
    bool active = false;
};

}  // namespace

std::optional<std::string> promptHiddenLine(const std::string& prompt) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || input == nullptr || !GetConsoleMode(input, &mode)) {
        return promptLine(prompt);  // redirected: an ordinary line
    }
    std::cout << prompt << std::flush;
    std::optional<std::string> line;
    {
        EchoOff echoOff(input);
        line = readConsoleLine();
    }
    std::cout << '\n' << std::flush;
    return line;
}

void ignoreBrokenPipe() {
    // A broken pipe is an ordinary write error on Windows; there is no signal to ignore.
}

}  // namespace platform

#include "platform/Console.hpp"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "platform/ConsoleLine.hpp"

namespace platform {

namespace {

// A signal handler can reach nothing but file-scope state: the settings to put back if the
// user interrupts the prompt. Written before the handlers are installed, read only by them.
struct termios savedTerminal;

extern "C" void restoreTerminalAndDie(int signalNumber) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
}

// Echo off for its lifetime; the terminal and the signal handlers are restored on every
// way out, an exception or Ctrl+C included.
class EchoOff {
  public:
    EchoOff() {
        if (::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
            return;
        }
        struct sigaction action {};
        action.sa_handler = restoreTerminalAndDie;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < signalCount; ++i) {
            ::sigaction(signals[i], &action, &previous[i]);
        }
        struct termios quiet = savedTerminal;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
        if (!active) {
            restoreSignals();
        }
    }

    ~EchoOff() {
        if (active) {
            ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
            restoreSignals();
        }
    }

    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    static constexpr int signalCount = 4;
    static constexpr int signals[signalCount] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};

    void restoreSignals() {
        for (int i = 0; i < signalCount; ++i) {
            ::sigaction(signals[i], &previous[i], nullptr);
        }
    }

    struct sigaction previous[signalCount] {};
    bool active = false;
};

}  // namespace

void ignoreBrokenPipe() {
    ::signal(SIGPIPE, SIG_IGN);
}

std::optional<std::string> promptHiddenLine(const std::string& prompt) {
    if (!::isatty(STDIN_FILENO)) {
        return promptLine(prompt);
    }
    std::cout << prompt << std::flush;
    std::optional<std::string> line;
    {
        EchoOff echoOff;
        line = readConsoleLine();
    }
    std::cout << '\n' << std::flush;
    return line;
}

}  // namespace platform

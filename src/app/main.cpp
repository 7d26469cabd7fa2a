#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "api/CurlGlobal.hpp"
#include "app/Client.hpp"
#include "app/ClientLog.hpp"
#include "app/CommandLine.hpp"
#include "base/SafeText.hpp"
#include "platform/Console.hpp"

int main(int argc, char** argv) {
    platform::ignoreBrokenPipe();
    // Answered before the log is opened, so asking for the usage keeps the last run's log.
    const CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (line.action) {
        case CommandLine::Action::Help:
            std::cout << clientUsage();
            return 0;
        case CommandLine::Action::Version:
            std::cout << clientVersion();
            return 0;
        case CommandLine::Action::Refuse:
            std::cerr << "quorvanta-client: unknown option " << printableLine(line.refused) << "\n"
                      << clientUsage();
            return 1;
        case CommandLine::Action::Run:
            break;
    }
    ClientLog log;  // first, so that every later message has a place
    int exitCode = 1;
    try {
        CurlGlobal curl;  // before any thread exists
        exitCode = runClient(line.positional, log.events());
    } catch (const std::exception& e) {
        // The message may quote a server's reply; it must not steer the terminal.
        std::cerr << "Quorvanta Client error: " << printableLine(e.what()) << "\n";
    }
    return log.finish(exitCode);
}

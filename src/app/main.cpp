#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "api/CurlGlobal.hpp"
#include "app/Client.hpp"
#include "app/CommandLine.hpp"
#include "base/SafeText.hpp"

int main(int argc, char** argv) {
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
    try {
        CurlGlobal curl;  // before any thread exists
        return runClient(line.positional);
    } catch (const std::exception& e) {
        // The message may quote a server's reply; it must not steer the terminal.
        std::cerr << "Quorvanta Client error: " << printableLine(e.what()) << "\n";
        return 1;
    }
}

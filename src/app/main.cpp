#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "api/CurlGlobal.hpp"
#include "app/Client.hpp"
#include "app/ClientLog.hpp"
#include "base/SafeText.hpp"
#include "platform/Console.hpp"

int main(int argc, char** argv) {
    platform::ignoreBrokenPipe();
    ClientLog log;  // first, so that every later message has a place
    int exitCode = 1;
    try {
        CurlGlobal curl;  // before any thread exists
        exitCode = runClient(std::vector<std::string>(argv + 1, argv + argc), log.events());
    } catch (const std::exception& e) {
        // The message may quote a server's reply; it must not steer the terminal.
        std::cerr << "Quorvanta Client error: " << printableLine(e.what()) << "\n";
    }
    return log.finish(exitCode);
}

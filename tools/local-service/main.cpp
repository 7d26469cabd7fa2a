// Entry point of the stand-in service: parse the options, serve until SIGINT or SIGTERM.

#include <csignal>
#include <filesystem>
#include <iostream>

#include "LocalService.hpp"
#include "VideoFileProfile.hpp"

int main(int argc, char** argv) {
    ServiceOptions options;
    try {
        options = parseServiceOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "quorvanta-local-service: " << e.what() << "\n" << serviceUsage();
        return 2;
    }
    if (options.help) {
        std::cout << serviceUsage();
        return 0;
    }
    if (options.version) {
        std::cout << "quorvanta-local-service " << QV_VERSION << "\n";
        return 0;
    }
    // Blocked before any thread starts, so every thread inherits the mask and the signals
    // reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        if (!options.videoFile.empty() && !std::filesystem::is_regular_file(options.videoFile)) {
            throw std::runtime_error("no video file " + options.videoFile);
        }
        if (!options.videoFile.empty()) {
            if (auto warning = browserProfileWarning(options.videoFile)) {
                std::cerr << "quorvanta-local-service: warning: " << *warning << "\n";
            }
        }
        LocalService service(options, makeOfferingPeerFactory());
        int port = service.start(options.port);
        std::cout << "listening on http://127.0.0.1:" << port << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
        std::cout << "stopping" << std::endl;
        service.stop();
    } catch (const std::exception& e) {
        std::cerr << "quorvanta-local-service: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

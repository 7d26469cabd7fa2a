#include "app/ClientLog.hpp"

#include <iostream>

#include "settings/SettingsStore.hpp"

namespace {

constexpr const char* logFileName = "native-client.log";
constexpr const char* logPathPrefix = "Log file: ";  // standard error, after an error

}  // namespace

ClientLog::ClientLog()
    : log(SettingsStore::settingsDirectory() / logFileName),
      errors(std::in_place, std::cerr, log),
      ffmpeg(log),
      engine(log) {}

int ClientLog::finish(int exitCode) {
    if (exitCode != 0) {
        errors.reset();  // the log's own path is no news to the log
        std::cerr << logPathPrefix << log.path().string() << '\n';
    }
    return exitCode;
}

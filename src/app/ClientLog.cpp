#include "app/ClientLog.hpp"

#include "settings/SettingsStore.hpp"

namespace {

constexpr const char* logFileName = "native-client.log";

}  // namespace

ClientLog::ClientLog()
    : log(SettingsStore::settingsDirectory() / logFileName), ffmpeg(log), engine(log) {}

#include "app/Client.hpp"

#include <atomic>
#include <iostream>

#include "api/ApiClient.hpp"
#include "app/EventLog.hpp"
#include "app/MainLoop.hpp"
#include "app/SdlSession.hpp"
#include "app/Startup.hpp"
#include "app/StreamStats.hpp"
#include "settings/SettingsStore.hpp"

// The start-up sequence in its fixed order. Locals are declared in the order they are
// created, so they are destroyed in the shutdown order: window and renderer, then SDL, then
// the start-up state, and the log last.
int runClient(const std::vector<std::string>& arguments) {
    EventLog log(SettingsStore::settingsDirectory() / "native-client.log");
    log.write("client_started");

    ApiClient api(chooseBaseUrl(arguments));
    const Credentials credentials = promptCredentials();
    std::string loginError;
    if (!api.login(credentials.email, credentials.password, loginError)) {
        std::cerr << loginError << '\n';
        return loginRefusedExitCode;
    }

    const std::string sessionId = lookUpSessionId(arguments, api);
    const Preferences preferences = readPreferences();

    SdlSession sdl;
    const StreamSize streamSize = measureStreamSize();
    reportViewport(api, sessionId, streamSize, preferences);
    log.write(displayLogLine(streamSize));
    const nlohmann::json iceConfiguration = fetchIceConfiguration(api, sessionId);

    StreamWindow streamWindow = createStreamWindow();
    const DeviceNames devices = readDeviceNames();

    StreamStats stats;
    stats.targetBitrate = initialTargetBitrate(preferences, streamSize);
    std::atomic<bool> stopRequested{false};
    const std::string viewerId = makeViewerId();

    MainLoop loop(streamWindow.window.get(), stopRequested, stats, log);
    loop.run();
    return 0;
}

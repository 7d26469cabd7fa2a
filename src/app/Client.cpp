#include "app/Client.hpp"

#include <atomic>
#include <iostream>
#include <memory>
#include <thread>

#include "api/ApiClient.hpp"
#include "app/MainLoop.hpp"
#include "app/SdlSession.hpp"
#include "app/Startup.hpp"
#include "audio/AudioDevices.hpp"
#include "audio/AudioPlayer.hpp"
#include "audio/MicrophoneUplink.hpp"
#include "base/EventLog.hpp"
#include "base/RemoteCursor.hpp"
#include "base/SafeText.hpp"
#include "base/StreamStats.hpp"
#include "diagnostics/NetworkTest.hpp"
#include "input/ControlChannel.hpp"
#include "input/InputHandler.hpp"
#include "platform/MessageBox.hpp"
#include "platform/PopupMenu.hpp"
#include "session/IceConfiguration.hpp"
#include "session/PeerSession.hpp"
#include "session/PeerStateHandler.hpp"
#include "session/SignalingPoller.hpp"
#include "session/SignalingTransport.hpp"
#include "session/SignalingUplink.hpp"
#include "session/TrackHandler.hpp"
#include "settings/SettingsMenu.hpp"
#include "settings/SettingsStore.hpp"
#include "telemetry/TelemetryReporter.hpp"
#include "video/FrameQueue.hpp"
#include "video/KeyframeRequester.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPresenter.hpp"

namespace {

SettingsAccess savedSettings() {
    return SettingsAccess{
        SettingsStore::readBitrateMbps,
        [](const std::string& file) { return SettingsStore::readDeviceName(file); },
        SettingsStore::writeCodec,
        SettingsStore::writeBitrateMbps,
        [](const std::string& file, const std::string& name) {
            return SettingsStore::writeDeviceName(file, name);
        },
        listOutputDevices,
        listCaptureDevices,
    };
}

// The background threads and the connection, stopped in the shutdown order whichever way the
// run ends: after the main loop, or when a late error leaves start-up or the loop.
class SessionThreads {
  public:
    SessionThreads(PeerSession& session, MicrophoneUplink* microphone)
        : session(session), microphone(microphone) {}
    SessionThreads(const SessionThreads&) = delete;
    SessionThreads& operator=(const SessionThreads&) = delete;
    ~SessionThreads() { stop(); }

    std::thread poller;
    std::thread telemetry;

    void stop() {
        if (stopped) {
            return;
        }
        stopped = true;
        session.stopRequested.exchange(true);
        if (poller.joinable()) {
            poller.join();
        }
        if (telemetry.joinable()) {
            telemetry.join();
        }
        if (microphone) {
            microphone->stop();
        }
        if (session.peerConnection) {
            session.peerConnection->close();
        }
        // Nothing of the engine is needed afterwards, so the future is not waited for.
        (void)rtc::Cleanup();
    }

  private:
    PeerSession& session;
    MicrophoneUplink* microphone;
    bool stopped = false;
};

}  // namespace

// The start-up sequence in its fixed order. Locals are declared in the order they are
// created, so what the shutdown does not release explicitly goes in reverse: media objects,
// then the window and renderer, then SDL, then the start-up state, and the log last.
int runClient(const std::vector<std::string>& arguments) {
    EventLog log(SettingsStore::settingsDirectory() / "native-client.log");
    log.write("client_started");

    ApiClient api(chooseBaseUrl(arguments));
    const Credentials credentials = promptCredentials();
    std::string loginError;
    if (!api.login(credentials.email, credentials.password, loginError)) {
        std::cerr << printableLine(loginError) << '\n';
        return loginRefusedExitCode;
    }
    SignalingTransport transport{
        [&api](const std::string& path) { return api.get(path); },
        [&api](const std::string& path, const nlohmann::json& body) {
            return api.postJson(path, body);
        },
    };

    const std::string sessionId = lookUpSessionId(arguments, api);
    const Preferences preferences = readPreferences();

    SdlSession sdl;
    enableMenuCommandEvents();
    const StreamSize streamSize = measureStreamSize();
    reportViewport(api, sessionId, streamSize, preferences);
    log.write(displayLogLine(streamSize));
    rtc::Configuration configuration = fetchIceConfiguration(transport.get, sessionId);
    configuration.videoCodec =
        preferences.codecIsHevc ? rtc::VideoCodec::H265 : rtc::VideoCodec::H264;
    configuration.bindAddress = loopbackBindAddressFor(api.baseUrl());

    StreamWindow streamWindow = createStreamWindow();
    const DeviceNames devices = readDeviceNames();

    VideoDecoder decoder(preferences.codecIsHevc);
    RemoteCursor cursor;
    const StreamOverlay overlay(cursor);
    VideoPresenter presenter(streamWindow.renderer.get(), streamSize.width, streamSize.height,
                             overlay);
    AudioPlayer audio(devices.output);
    std::unique_ptr<MicrophoneUplink> microphone = openSavedMicrophone(devices.microphone, log);
    log.write(std::string("codec=") + (preferences.codecIsHevc ? "hevc" : "h264") +
              " decoder=" + decoder.decoderName());

    StreamStats stats;
    FrameQueue frames(stats);
    stats.targetBitrate = initialTargetBitrate(preferences, streamSize);

    PeerSession session;
    session.peerConnection = std::make_shared<rtc::PeerConnection>(configuration);
    ControlChannel control(log, cursor);
    const std::string viewerId = makeViewerId();

    SignalingUplink uplink(session, transport, sessionId, viewerId, log);
    TrackHandler tracks(
        log, stats,
        [&frames](Bytes frame, std::uint32_t timestamp) {
            frames.push(std::move(frame), timestamp);
        },
        preferences.codecIsHevc,
        [&audio](const std::byte* data, std::size_t size) {
            return audio.playPacket(reinterpret_cast<const unsigned char*>(data), size);
        });
    uplink.attach();
    session.peerConnection->onStateChange(PeerStateHandler(session.stopRequested, log));
    tracks.attach(*session.peerConnection);
    session.peerConnection->onDataChannel([&control](std::shared_ptr<rtc::DataChannel> channel) {
        control.handleDataChannel(std::move(channel));
    });

    SignalingPoller poller(session.stopRequested, transport, sessionId, viewerId,
                           session.peerConnection);
    TelemetryReporter telemetry(
        TelemetryStream{sessionId, streamSize.width, streamSize.height, preferences.bitrateMbps},
        transport.postJson, stats, session.stopRequested, log);
    KeyframeRequester keyframes([&log, &tracks] {
        if (tracks.requestKeyframe()) {
            log.write("keyframe_request");
        }
    });

    const SettingsAccess settings = savedSettings();
    const PopupMenuOwner menuOwner{streamWindow.nativeHandle, streamWindow.window.get(),
                                   streamWindow.renderer.get()};
    const MenuCommandContext menuContext{
        settings,
        [](const Notice& notice) { showMessageBox(notice.title, notice.text, notice.icon); },
        [&] {
            runNetworkTest(NetworkTestIo{transport.get, transport.postJson,
                                         [&](const std::string& title) {
                                             SDL_SetWindowTitle(streamWindow.window.get(),
                                                                title.c_str());
                                         },
                                         showMessageBox, TelemetryTiming::steadyNowNs});
        },
        preferences.codecIsHevc,
        [&decoder] { return decoder.hardwareDecoding(); },
    };
    InputHandler input(
        streamWindow.window.get(),
        [&control](const nlohmann::json& message) { control.sendInput(message); },
        [&presenter] {
            return InputHandler::PictureSize{presenter.width(), presenter.height()};
        },
        [&](int x, int y) {
            showSettingsMenu(menuOwner, settings, SettingsStore::readCodecIsHevc(), x, y);
        });

    {
        SessionThreads threads(session, microphone.get());
        if (microphone) {
            microphone->start([&control](std::span<const unsigned char> packet) {
                control.sendMicrophonePacket(packet);
            });
        }
        threads.poller = std::thread([&poller] { poller.run(); });
        threads.telemetry = std::thread([&telemetry] { telemetry.run(); });

        MainLoop loop(
            streamWindow.window.get(), session.stopRequested, stats, log,
            MainLoop::Parts{frames, decoder, presenter, keyframes, input,
                            [&menuContext](int id) { handleMenuCommand(menuContext, id); }});
        try {
            loop.run();
        } catch (...) {
            input.releaseMouse();
            throw;  // threads and connection are stopped on the way out
        }
        input.releaseMouse();
        threads.stop();
    }

    // What refers to the connection goes first, then the connection itself; the media
    // objects, the window and SDL follow in reverse order of creation.
    control.releaseChannels();
    tracks.release();
    session.peerConnection.reset();
    microphone.reset();
    return 0;
}

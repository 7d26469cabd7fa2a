#include "app/Client.hpp"

#include <atomic>
#include <iostream>
#include <memory>
#include <stdexcept>
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
#include "platform/Display.hpp"
#include "platform/MessageBox.hpp"
#include "platform/PopupMenu.hpp"
#include "platform/StopSignals.hpp"
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
#include "video/StreamOverlay.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPipeline.hpp"
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
    SessionThreads(PeerSession& session, MicrophoneUplink* microphone, VideoPipeline& video)
        : session(session), microphone(microphone), video(video) {}
    SessionThreads(const SessionThreads&) = delete;
    SessionThreads& operator=(const SessionThreads&) = delete;
    ~SessionThreads() { stop(); }

    void start(SignalingPoller& pollerLoop, TelemetryReporter& telemetryLoop,
               DecodeThread::Hooks decodeHooks) {
        video.start(std::move(decodeHooks));
        poller = std::thread([&pollerLoop] { pollerLoop.run(); });
        telemetry = std::thread([&telemetryLoop] { telemetryLoop.run(); });
    }

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
        // No frame comes any more; the frames still waiting are dropped.
        video.stop();
    }

  private:
    PeerSession& session;
    MicrophoneUplink* microphone;
    VideoPipeline& video;
    std::thread poller;
    std::thread telemetry;
    bool stopped = false;
};

// The start-up sequence in its fixed order, from the login on. Locals are declared in the order
// they are created, so what the shutdown does not release explicitly goes in reverse: media
// objects, then the window and renderer, then SDL, then the start-up state.
int loginAndStream(const std::vector<std::string>& arguments, EventLog& log, PeerSession& session,
                   ApiClient& api, const Credentials& credentials, SdlQuitSender& sdlQuit) {
    std::string loginError;
    if (!api.login(credentials.email, credentials.password, loginError)) {
        if (session.stopRequested.load()) {
            return 0;  // the login was cut short by the stop, not refused
        }
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

    SdlSession sdl(sdlQuit);
    enableMenuCommandEvents();
    const StreamSize streamSize = measureStreamSize();
    reportViewport(api, sessionId, streamSize, preferences);
    log.write(displayLogLine(streamSize));
    rtc::Configuration configuration = fetchIceConfiguration(transport.get, sessionId);
    configuration.videoCodec =
        preferences.codecIsHevc ? rtc::VideoCodec::H265 : rtc::VideoCodec::H264;
    configuration.alsoGatherOn = loopbackBindAddressFor(api.baseUrl());

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
    VideoPipeline video(stats, preferences.codecIsHevc, decoder, presenter);
    // The decode thread wakes the main loop with it when a picture is ready.
    const Uint32 pictureReadyEvent = SDL_RegisterEvents(1);
    stats.targetBitrate = initialTargetBitrate(preferences, streamSize);

    session.peerConnection = std::make_shared<rtc::PeerConnection>(configuration);
    ControlChannel control(log, cursor);
    const std::string viewerId = makeViewerId();

    SignalingUplink uplink(session, transport, sessionId, viewerId, log);
    TrackHandler tracks(
        log, stats, [&video](EncodedFrame frame) { video.push(std::move(frame)); },
        preferences.codecIsHevc,
        [&audio](const std::byte* data, std::size_t size) {
            return audio.playPacket(reinterpret_cast<const unsigned char*>(data), size);
        });
    uplink.attach();
    session.peerConnection->onStateChange(
        [&session, &sdlQuit, handler = PeerStateHandler(session.stopRequested, log)](
            rtc::PeerConnection::State state) mutable {
            handler(state);
            if (session.stopRequested.load()) {
                sdlQuit.send();  // the main loop sleeps until an event
            }
        });
    tracks.attach(*session.peerConnection);
    session.peerConnection->onDataChannel([&control](std::shared_ptr<rtc::DataChannel> channel) {
        control.handleDataChannel(std::move(channel));
    });

    SignalingPoller poller(session.stopRequested, transport, sessionId, viewerId,
                           session.peerConnection);
    TelemetryReporter telemetry(
        TelemetryStream{sessionId, streamSize.width, streamSize.height, preferences.bitrateMbps},
        transport.postJson, stats, session.stopRequested, log);
    const DecodeThread::Hooks decodeHooks{
        [&log, &tracks] {
            if (!tracks.requestKeyframe()) {
                return false;
            }
            log.write("keyframe_request");
            return true;
        },
        [&tracks] { return tracks.videoReceiveStats().roundTripMs; },
        [pictureReadyEvent] {
            SDL_Event event{};
            event.type = pictureReadyEvent;
            SDL_PushEvent(&event);
        },
    };

    const SettingsAccess settings = savedSettings();
    const PopupMenuOwner menuOwner{streamWindow.nativeHandle, streamWindow.window.get(),
                                   streamWindow.renderer.get()};
    const MenuCommandContext menuContext{
        settings,
        [](const Notice& notice) { showMessageBox(notice.title, notice.text, notice.icon); },
        [&] {
            runNetworkTest(NetworkTestIo{// The chunks are the largest replies the client takes.
                                         [&api](const std::string& path) {
                                             return api.get(path, ApiClient::largeReplyLimit);
                                         },
                                         transport.postJson,
                                         [&](const std::string& title) {
                                             SDL_SetWindowTitle(streamWindow.window.get(),
                                                                title.c_str());
                                         },
                                         showMessageBox, TelemetryTiming::steadyNowNs,
                                         [&session] { return session.stopRequested.load(); }});
        },
        preferences.codecIsHevc,
        [&decoder] { return std::string(decoder.decoderName()); },
    };
    InputHandler input(
        streamWindow.window.get(),
        [&control](const InputEvent& event) { control.sendInput(event); },
        [&presenter] {
            return InputHandler::PictureSize{presenter.width(), presenter.height()};
        },
        [&](int x, int y) {
            showSettingsMenu(menuOwner, settings, SettingsStore::readCodecIsHevc(), x, y);
        });

    {
        SessionThreads threads(session, microphone.get(), video);
        if (microphone) {
            microphone->start([&control](std::span<const unsigned char> packet) {
                control.sendMicrophonePacket(packet);
            });
        }
        threads.start(poller, telemetry, decodeHooks);

        MainLoop loop(
            streamWindow.window.get(), session.stopRequested, stats, log,
            MainLoop::Parts{video, input, pictureReadyEvent,
                            [&tracks] { return tracks.videoReceiveStats(); },
                            [&menuContext](int id) { handleMenuCommand(menuContext, id); }});
        // However the loop ends, the game must not keep a key pressed: the releases go out
        // before the connection closes.
        try {
            loop.run();
        } catch (...) {
            input.releaseAll();
            throw;  // threads and connection are stopped on the way out
        }
        input.releaseAll();
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

}  // namespace

int runClient(const std::vector<std::string>& arguments, EventLog& log) {
    log.write("client_started");
    if (auto problem = platform::missingDisplay()) {
        throw std::runtime_error(*problem);
    }

    // Its stop flag is the whole client's: a signal, the window or the lost connection sets it,
    // and every thread and every HTTP request sees it.
    PeerSession session;
    ApiClient api(chooseBaseUrl(arguments), log, session.stopRequested);
    // At the prompt nothing has started yet, so a signal still ends the process at once.
    const Credentials credentials = promptCredentials();

    // From here on SIGINT and SIGTERM ask for the orderly stop that closing the window asks
    // for: requests in flight end, and a menu or message box open on the main thread closes.
    SdlQuitSender sdlQuit;
    const platform::StopSignals stopSignals([&session, &sdlQuit] {
        session.stopRequested.exchange(true);
        closeMessageBoxes();
        sdlQuit.send();
    });
    try {
        return loginAndStream(arguments, log, session, api, credentials, sdlQuit);
    } catch (const std::exception&) {
        if (session.stopRequested.load()) {
            return 0;  // a request cut short by the stop fails like any other
        }
        throw;
    }
}

#include "app/Client.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "api/ApiClient.hpp"
#include "app/MainLoop.hpp"
#include "app/SdlSession.hpp"
#include "app/SessionEnd.hpp"
#include "app/Startup.hpp"
#include "app/StartupProgress.hpp"
#include "app/StatisticsRefresh.hpp"
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
#include "rtc/EngineWarmUp.hpp"
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
#include "video/FrameHistory.hpp"
#include "video/StatisticsPanel.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPipeline.hpp"
#include "video/VideoPresenter.hpp"

namespace {

// How long the shutdown waits for the last input messages to leave.
constexpr std::chrono::milliseconds shutdownFlushLimit{200};

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
                   ApiClient& api, const Credentials& credentials, SdlQuitSender& sdlQuit,
                   SessionEnd& sessionEnd, const std::function<void()>& endSession) {
    // The window opens before the login, so that the player sees what the client waits for
    // from the start. Where it cannot open, start-up goes on and meets the same error at the
    // window's own step, once the session is known, as it always has.
    std::optional<SdlSession> sdl;
    std::optional<StreamWindow> streamWindow;
    try {
        sdl.emplace(sdlQuit);
        streamWindow.emplace(createStreamWindow());
    } catch (const std::exception&) {
    }
    // The decode thread wakes the main loop with it when a picture is ready, the progress
    // when its stage moves on.
    const Uint32 pictureReadyEvent = SDL_RegisterEvents(1);
    const auto wakeMainLoop = [pictureReadyEvent] {
        SDL_Event event{};
        event.type = pictureReadyEvent;
        SDL_PushEvent(&event);
    };
    std::optional<StartupProgress> progress;
    if (streamWindow) {
        progress.emplace(streamWindow->renderer.get(), wakeMainLoop);
        progress->show(StartupProgress::Stage::LoggingIn);
    }

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

    if (progress) {
        progress->show(StartupProgress::Stage::FindingSession);
    }
    const std::string sessionId = lookUpSessionId(arguments, api);
    const Preferences preferences = readPreferences();

    if (!sdl) {
        sdl.emplace(sdlQuit);
    }
    enableMenuCommandEvents();
    const StreamSize streamSize = measureStreamSize();
    reportViewport(api, sessionId, streamSize, preferences);
    log.write(displayLogLine(streamSize));
    rtc::Configuration configuration = fetchIceConfiguration(transport.get, sessionId);
    configuration.videoCodec =
        preferences.codecIsHevc ? rtc::VideoCodec::H265 : rtc::VideoCodec::H264;
    configuration.alsoGatherOn = loopbackBindAddressFor(api.baseUrl());

    if (!streamWindow) {
        streamWindow.emplace(createStreamWindow());
    }
    if (!progress) {
        progress.emplace(streamWindow->renderer.get(), wakeMainLoop);
    }
    if (SDL_RendererInfo info{}; SDL_GetRendererInfo(streamWindow->renderer.get(), &info) == 0) {
        log.write(std::string("renderer=") + info.name);
    }
    const DeviceNames devices = readDeviceNames();

    VideoDecoderOptions decoderOptions;
    decoderOptions.limits = PictureLimits::forRenderer({streamSize.width, streamSize.height},
                                                       streamWindow->renderer.get());
    VideoDecoder decoder(preferences.codecIsHevc, std::move(decoderOptions));
    RemoteCursor cursor;
    FrameHistory recentFrames;
    StatisticsPanel statisticsPanel(streamWindow->renderer.get(), recentFrames);
    const StreamOverlay overlay(cursor, &statisticsPanel);
    VideoPresenter presenter(streamWindow->renderer.get(), streamSize.width, streamSize.height,
                             overlay);
    AudioPlayer audio(devices.output);
    std::unique_ptr<MicrophoneUplink> microphone = openSavedMicrophone(devices.microphone, log);
    log.write(std::string("codec=") + (preferences.codecIsHevc ? "hevc" : "h264") +
              " decoder=" + decoder.decoderName());

    StreamStats stats;
    VideoPipeline video(stats, preferences.codecIsHevc, decoder, presenter, &recentFrames);
    stats.targetBitrate = initialTargetBitrate(preferences, streamSize);

    session.peerConnection = std::make_shared<rtc::PeerConnection>(configuration);
    // A peer that takes no input for long is as good as gone.
    ControlChannel control(log, cursor, [&sessionEnd, &endSession] {
        sessionEnd.record(SessionEndReason::InputStalled);
        endSession();
    });
    const std::string viewerId = makeViewerId();

    SignalingUplink uplink(session, transport, sessionId, viewerId, log);
    TrackHandler tracks(
        log, stats, [&video](EncodedFrame frame) { video.push(std::move(frame)); },
        preferences.codecIsHevc,
        [&audio](const std::byte* data, std::size_t size) {
            return audio.playPacket(reinterpret_cast<const unsigned char*>(data), size);
        });
    uplink.attach();
    session.peerConnection->onStateChange([&session, &endSession, &sessionEnd, &progress,
                                           handler = PeerStateHandler(session.stopRequested, log)](
                                              rtc::PeerConnection::State state) mutable {
        if (state == rtc::PeerConnection::State::Connecting) {
            progress->advance(StartupProgress::Stage::Connecting);
        } else if (state == rtc::PeerConnection::State::Connected) {
            progress->advance(StartupProgress::Stage::WaitingForPicture);
        }
        if (auto reason = endReasonFor(state)) {
            sessionEnd.record(*reason);
        }
        handler(state);
        if (session.stopRequested.load()) {
            endSession();  // the main thread may sit in a menu, a box or its sleep
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
        wakeMainLoop,
        [&log](const std::string& why) { log.write("video_error=" + why); },
    };
    StatisticsRefresh statistics(
        statisticsPanel,
        StatisticsRefresh::Sources{
            stats, video, presenter, recentFrames, [&tracks] { return tracks.videoReceiveStats(); },
            preferences.codecIsHevc ? "hevc" : "h264", decoder.decoderName()});

    const SettingsAccess settings = savedSettings();
    const PopupMenuOwner menuOwner{streamWindow->nativeHandle, streamWindow->window.get(),
                                   streamWindow->renderer.get()};
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
                                             SDL_SetWindowTitle(streamWindow->window.get(),
                                                                title.c_str());
                                         },
                                         showMessageBox, TelemetryTiming::steadyNowNs,
                                         [&session] { return session.stopRequested.load(); }});
        },
        preferences.codecIsHevc,
        [&decoder] { return std::string(decoder.decoderName()); },
    };
    InputHandler input(
        streamWindow->window.get(),
        [&control](const InputEvent& event) { control.sendInput(event); },
        [&presenter] {
            return InputHandler::PictureSize{presenter.width(), presenter.height()};
        },
        [&](int x, int y) {
            showSettingsMenu(menuOwner, settings, SettingsStore::readCodecIsHevc(), x, y);
        },
        [&statistics] { statistics.toggle(); });

    {
        SessionThreads threads(session, microphone.get(), video);
        if (microphone) {
            microphone->start([&control](std::span<const unsigned char> packet) {
                control.sendMicrophonePacket(packet);
            });
        }
        progress->show(StartupProgress::Stage::WaitingForOffer);
        threads.start(poller, telemetry, decodeHooks);

        MainLoop loop(
            streamWindow->window.get(), session.stopRequested, stats, log,
            MainLoop::Parts{video, input, pictureReadyEvent,
                            [&tracks] { return tracks.videoReceiveStats(); },
                            [&menuContext](int id) { handleMenuCommand(menuContext, id); },
                            [&sessionEnd] { sessionEnd.record(SessionEndReason::WindowClosed); },
                            [&] {
                                if (presenter.framesPresented() == 0) {
                                    progress->drawWhenChanged();
                                }
                                statistics.refreshWhenDue();
                            },
                            [&control] { control.checkStalls(); }});
        // However the loop ends, the game must not keep a key pressed: the releases go out,
        // and leave the client, before the connection closes and discards what is buffered.
        // A peer already gone confirms nothing, so the wait is spared.
        const auto releaseHeld = [&input, &control, &session, &log] {
            input.releaseAll();
            if (session.peerConnection &&
                session.peerConnection->state() == rtc::PeerConnection::State::Connected &&
                !control.flush(shutdownFlushLimit)) {
                log.write("input_flush_unconfirmed");
            }
        };
        try {
            loop.run();
        } catch (...) {
            releaseHeld();
            throw;  // threads and connection are stopped on the way out
        }
        releaseHeld();
        threads.stop();
        if (const std::uint64_t dropped = control.messagesDropped(); dropped > 0) {
            log.write("input_messages_dropped=" + std::to_string(dropped));
        }
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
    // Made while the player types, the key is ready when the offer comes.
    const rtc::EngineWarmUp warmUp;
    // No handler is installed yet, so a signal at the prompt still ends the process at once.
    const Credentials credentials = promptCredentials();

    // From here on SIGINT and SIGTERM ask for the orderly stop that closing the window asks
    // for: requests in flight end, and a menu or message box open on the main thread closes.
    SdlQuitSender sdlQuit;
    SessionEnd sessionEnd;
    // Whatever ends the session (a signal, the lost connection, a stalled channel), the main
    // thread must come back from where it waits: a message box, the menu, or its sleep.
    const std::function<void()> endSession = [&session, &sdlQuit] {
        session.stopRequested.exchange(true);
        closeMessageBoxes();
        closePopupMenus();
        sdlQuit.send();
    };
    const platform::StopSignals stopSignals([&sessionEnd, &endSession] {
        sessionEnd.record(SessionEndReason::Signal);
        endSession();
    });
    // Told once the stop has run its course, whether it came during start-up or the stream.
    const auto tellWhyItEnded = [&sessionEnd, &log] {
        if (auto reason = sessionEnd.reason()) {
            const std::string line = sessionEndedLine(*reason);
            std::cout << line << std::endl;
            log.write(line);
        }
    };
    try {
        const int exitCode = loginAndStream(arguments, log, session, api, credentials, sdlQuit,
                                            sessionEnd, endSession);
        tellWhyItEnded();
        return exitCode;
    } catch (const std::exception&) {
        if (session.stopRequested.load()) {
            tellWhyItEnded();
            return 0;  // a request cut short by the stop fails like any other
        }
        throw;
    }
}

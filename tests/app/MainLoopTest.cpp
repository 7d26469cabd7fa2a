#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/MainLoop.hpp"
#include "app/SdlSession.hpp"
#include "input/InputHandler.hpp"
#include "support/TempDir.hpp"
#include "support/TestStreams.hpp"
#include "support/WaitFor.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPipeline.hpp"
#include "video/VideoPresenter.hpp"

namespace {

// A real SDL window on the dummy video driver, so the loop runs without a display.
class MainLoopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        SDL_SetHintWithPriority(SDL_HINT_VIDEODRIVER, "dummy", SDL_HINT_OVERRIDE);
        SDL_SetHintWithPriority(SDL_HINT_RENDER_DRIVER, "software", SDL_HINT_OVERRIDE);
        ASSERT_EQ(SDL_Init(SDL_INIT_VIDEO), 0) << SDL_GetError();
    }
    static void TearDownTestSuite() { SDL_Quit(); }

    void SetUp() override {
        SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
        stream = createStreamWindow();
        presenter = std::make_unique<VideoPresenter>(stream.renderer.get(), 1280, 720, overlay);
        video = std::make_unique<VideoPipeline>(stats, false, decoder, *presenter);
        input = std::make_unique<InputHandler>(
            stream.window.get(), [](const InputEvent&) {},
            [this] {
                return InputHandler::PictureSize{presenter->width(), presenter->height()};
            },
            [](int, int) {});
    }
    void TearDown() override {
        input.reset();
        video.reset();
        presenter.reset();
    }

    MainLoop makeLoop(std::atomic<bool>& stopRequested) {
        return MainLoop(
            stream.window.get(), stopRequested, stats, log,
            MainLoop::Parts{
                *video, *input, pictureReadyEvent, [this] { return packets; }, {}, {}, {}});
    }

    void pushKeyDown(SDL_Keycode key) {
        SDL_Event event{};
        event.type = SDL_KEYDOWN;
        event.key.windowID = SDL_GetWindowID(stream.window.get());
        event.key.keysym.sym = key;
        SDL_PushEvent(&event);
    }
    void pushEvent(Uint32 type) {
        SDL_Event event{};
        event.type = type;
        SDL_PushEvent(&event);
    }
    // Sets the stop flag from another thread, as the connection's state callback does, and
    // wakes the loop as the client does.
    void stopFromOutside(std::atomic<bool>& stopRequested) {
        stopRequested = true;
        pushEvent(SDL_USEREVENT);
    }
    void pushQuit() {
        SDL_Event event{};
        event.type = SDL_QUIT;
        SDL_PushEvent(&event);
    }
    bool fullScreen() {
        return (SDL_GetWindowFlags(stream.window.get()) & SDL_WINDOW_FULLSCREEN_DESKTOP) ==
               SDL_WINDOW_FULLSCREEN_DESKTOP;
    }
    void runUntilStopped() {
        std::atomic<bool> stopRequested{false};
        makeLoop(stopRequested).run();
        EXPECT_TRUE(stopRequested.load());
    }

    TempDir folder;
    EventLog log{folder.path() / "native-client.log"};
    StreamStats stats;
    rtc::ReceiveStats packets;
    const Uint32 pictureReadyEvent = SDL_RegisterEvents(1);
    StreamWindow stream;
    VideoDecoder decoder{false};
    RemoteCursor cursor;
    StreamOverlay overlay{cursor};
    std::unique_ptr<VideoPresenter> presenter;
    std::unique_ptr<VideoPipeline> video;
    std::unique_ptr<InputHandler> input;
};

TEST_F(MainLoopTest, windowStartsWindowedWithItsTitleAndSize) {
    EXPECT_STREQ(SDL_GetWindowTitle(stream.window.get()), "Quorvanta Native Client");
    int width = 0, height = 0;
    SDL_GetWindowSize(stream.window.get(), &width, &height);
    EXPECT_EQ(width, 1280);
    EXPECT_EQ(height, 720);
    EXPECT_TRUE(SDL_GetWindowFlags(stream.window.get()) & SDL_WINDOW_RESIZABLE);
    EXPECT_FALSE(fullScreen());
}

TEST_F(MainLoopTest, quitStopsTheLoopAfterTheEventsAlreadyQueued) {
    // F11 after the quit is still handled in the same event step.
    pushQuit();
    pushKeyDown(SDLK_F11);
    runUntilStopped();
    EXPECT_TRUE(fullScreen());
}

TEST_F(MainLoopTest, f11TogglesDesktopFullScreenBothWays) {
    pushKeyDown(SDLK_F11);
    pushQuit();
    runUntilStopped();
    EXPECT_TRUE(fullScreen());

    pushKeyDown(SDLK_F11);
    pushQuit();
    runUntilStopped();
    EXPECT_FALSE(fullScreen());

    // Other keys leave the window as it is.
    pushKeyDown(SDLK_F10);
    pushKeyDown(SDLK_q);
    pushQuit();
    runUntilStopped();
    EXPECT_FALSE(fullScreen());
}

TEST_F(MainLoopTest, statisticsGoToTitleAndLogEveryTwoSeconds) {
    stats.framesReceived = 1200;
    stats.audioPacketsPlayed = 3000;
    stats.audioErrors = 2;
    stats.encodedFramesDropped = 7;
    packets.packetsLost = 5;
    packets.packetsOutOfOrder = 3;
    const std::string title = "Quorvanta | received=1200 decoded=0 audio=3000 audio_errors=2";
    // The title's line is followed by the video figures the title leaves out.
    const std::string expected =
        title +
        "\nvideo received=1200 decoded=0 presented=0 encoded_dropped=7 skipped=0 broken=0 "
        "keyframe_requests=0 packets_lost=5 out_of_order=3 arrival_to_present_ms=0.0/0.0 "
        "decode_ms=0.0 present_ms=0.0 longest_gap_ms=0.0";
    const auto logPath = folder.path() / "native-client.log";

    std::atomic<bool> stopRequested{false};
    // Stops the loop from outside, as the peer connection's state callback does, once the
    // line has been logged twice (or after the deadline, failing below).
    std::thread watcher([&] {
        waitFor(
            [&] {
                const std::string text = readWholeFile(logPath);
                return text == expected + "\n" + expected + "\n";
            },
            std::chrono::seconds(8));
        stopFromOutside(stopRequested);
    });
    makeLoop(stopRequested).run();
    watcher.join();

    EXPECT_EQ(readWholeFile(logPath), expected + "\n" + expected + "\n");
    EXPECT_EQ(SDL_GetWindowTitle(stream.window.get()), title);
}

// The loop sleeps between events; a picture from the decode thread must wake it well before
// the next statistics refresh would.
TEST_F(MainLoopTest, aDecodedPictureWakesTheSleepingLoopAndIsPresented) {
    video->start(DecodeThread::Hooks{{}, {}, [this] { pushEvent(pictureReadyEvent); }});
    const auto units = teststreams::encode(false, 320, 176, 2, teststreams::gradient());
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> presented{false};
    std::thread feeder([&] {
        // Once the loop has gone to sleep on an empty window.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        for (const auto& unit : units) {
            video->push(EncodedFrame{unit, 0, false, EncodedFrame::Clock::now()});
        }
        presented = waitFor([&] { return presenter->framesPresented() > 0; },
                            std::chrono::milliseconds(1500));
        stopFromOutside(stopRequested);
    });
    makeLoop(stopRequested).run();
    feeder.join();
    video->stop();
    EXPECT_TRUE(presented.load());
    EXPECT_EQ(presenter->width(), 320);
}

}  // namespace

#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "app/MainLoop.hpp"
#include "app/SdlSession.hpp"
#include "input/InputHandler.hpp"
#include "support/TempDir.hpp"
#include "support/WaitFor.hpp"
#include "video/FrameQueue.hpp"
#include "video/KeyframeRequester.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoDecoder.hpp"
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
        input = std::make_unique<InputHandler>(
            stream.window.get(), [](const InputEvent&) {},
            [this] {
                return InputHandler::PictureSize{presenter->width(), presenter->height()};
            },
            [](int, int) {});
    }
    void TearDown() override {
        input.reset();
        presenter.reset();
    }

    MainLoop makeLoop(std::atomic<bool>& stopRequested) {
        return MainLoop(stream.window.get(), stopRequested, stats, log,
                        MainLoop::Parts{frames, decoder, *presenter, keyframes, *input, {}});
    }

    void pushKeyDown(SDL_Keycode key) {
        SDL_Event event{};
        event.type = SDL_KEYDOWN;
        event.key.windowID = SDL_GetWindowID(stream.window.get());
        event.key.keysym.sym = key;
        SDL_PushEvent(&event);
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
    FrameQueue frames{stats};
    KeyframeRequester keyframes{[] {}};
    StreamWindow stream;
    VideoDecoder decoder{false};
    RemoteCursor cursor;
    StreamOverlay overlay{cursor};
    std::unique_ptr<VideoPresenter> presenter;
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
    stats.framesDropped = 7;
    const std::string title = "Quorvanta | received=1200 decoded=0 audio=3000 audio_errors=2";
    // The title's line is followed by the counters the title leaves out.
    const std::string expected = title + "\nframes_dropped=7 frames_out_of_order=0";
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
        stopRequested = true;
    });
    makeLoop(stopRequested).run();
    watcher.join();

    EXPECT_EQ(readWholeFile(logPath), expected + "\n" + expected + "\n");
    EXPECT_EQ(SDL_GetWindowTitle(stream.window.get()), title);
}

}  // namespace

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <span>
#include <thread>

#include "input/ControlChannel.hpp"
#include "support/FakeRtc.hpp"
#include "support/TempDir.hpp"

namespace {

class ControlChannelTest : public ::testing::Test {
  protected:
    fake::FakeChannelPair openChannel(const std::string& label) {
        fake::FakeChannelPair pair(label);
        control.handleDataChannel(pair.channel);
        pair.fake->remoteOpen();
        return pair;
    }

    void expectCursor(bool visible, int x, int y) {
        EXPECT_EQ(cursor.cursorVisible.load(), visible);
        EXPECT_EQ(cursor.cursorX.load(), x);
        EXPECT_EQ(cursor.cursorY.load(), y);
    }

    const InputEvent keyA = KeyEvent{65, true};
    const InputEvent button = ButtonEvent{1, true};
    const InputEvent motion = RelativeMotionEvent{3, -2};
    const InputEvent wheel = WheelEvent{-1};

    TempLog log;
    RemoteCursor cursor;
    ControlChannel::Clock::time_point now{};  // the channel's clock
    int stalls = 0;
    ControlChannel control{log.log, cursor, [this] { ++stalls; }, [this] { return now; }};
};

// Each event goes out once, as the text the server parses. Keys, buttons and microphone packets
// are dropped while their channel is not open; motion and wheel take "input" until "input-fast"
// is open. A later channel under a held label replaces it; near-miss labels are not kept.
TEST_F(ControlChannelTest, eachChannelCarriesItsEventsOnlyOnceOpen) {
    std::vector<fake::FakeChannelPair> strangers;
    for (const char* label : {"Input", "input ", "input_fast", "microphon", ""}) {
        strangers.push_back(openChannel(label));
    }
    control.sendInput(keyA);  // no channel yet
    fake::FakeChannelPair input("input"), microphone("microphone");
    control.handleDataChannel(input.channel);
    control.handleDataChannel(microphone.channel);
    const std::vector<unsigned char> packet = {0x01, 0xff};
    control.sendMicrophonePacket(packet);
    auto fast = openChannel("input-fast");
    control.sendInput(keyA);  // "input" still connecting
    control.sendInput(button);
    control.sendInput(motion);
    input.fake->remoteOpen();
    microphone.fake->remoteOpen();
    EXPECT_TRUE(input.fake->sent().empty());
    control.sendMicrophonePacket(packet);
    const rtc::binary prefixed = {std::byte{'M'}, std::byte{'I'},  std::byte{'C'},
                                  std::byte{'0'}, std::byte{0x01}, std::byte{0xff}};
    EXPECT_EQ(microphone.fake->sent(), std::vector<rtc::message_variant>{prefixed});
    EXPECT_EQ(fast.fake->sentTexts(),
              std::vector<std::string>{R"({"dx":3,"dy":-2,"type":"mouse_move"})"});

    fake::FakeChannelPair laterFast("input-fast");
    control.handleDataChannel(laterFast.channel);
    control.sendInput(wheel);
    control.sendInput(keyA);
    laterFast.fake->remoteOpen();
    control.sendInput(motion);
    control.sendInput(wheel);
    EXPECT_EQ(input.fake->sentTexts(),
              (std::vector<std::string>{R"({"delta":-1,"type":"mouse_wheel"})",
                                        R"({"down":true,"type":"key","vk":65})"}));
    EXPECT_EQ(laterFast.fake->sent().size(), 2u);
    EXPECT_EQ(fast.fake->sent().size(), 1u);
    EXPECT_EQ(fast.channel.use_count(), 1) << "the replaced channel is let go of";
    for (const auto& stranger : strangers) {
        EXPECT_TRUE(stranger.fake->sent().empty()) << stranger.fake->label();
    }
}

// Each message in turn and the cursor afterwards; broken, mistyped and out-of-range messages
// are played by the hostile end-to-end run.
TEST_F(ControlChannelTest, cursorMessagesOnInputSetTheRemoteCursorAndOthersChangeNothing) {
    auto input = openChannel("input");
    struct Case {
        std::string message;
        bool visible;
        int x, y;
    };
    // clang-format off
    const Case cases[] = {
        {R"({"type":"cursor","x":100,"y":200,"visible":true})", true, 100, 200},
        {R"({"type":"cursor"})", false, 0, 0},  // absent keys take their defaults
        // stored as received, without clamping; fractions cut toward zero
        {R"({"visible":true,"y":-5,"x":70000.9,"type":"cursor"})", true, 70000, -5},
        {R"({"type":"Cursor","x":1})", true, 70000, -5},
        {R"({"x":1,"y":1,"visible":false})", true, 70000, -5},
    };
    // clang-format on
    for (const Case& c : cases) {
        input.fake->receive(c.message);
        expectCursor(c.visible, c.x, c.y);
    }
    // Binary messages are read as the same text.
    const std::string text = R"({"type":"cursor","x":7,"y":8,"visible":true})";
    const auto bytes = std::as_bytes(std::span(text));
    input.fake->receive(rtc::binary(bytes.begin(), bytes.end()));
    expectCursor(true, 7, 8);
}

// A peer that stops taking data: each row sets one channel's buffered amount at a time (in
// milliseconds), sends one message or only checks, and says whether it went out.
TEST_F(ControlChannelTest, behindASlowPeerMotionAndMicrophoneAreDroppedAndAStallEndsTheSession) {
    const std::vector<unsigned char> packet = {1, 2, 3};
    const std::function<void()> sendMotion = [&] { control.sendInput(motion); },
                                sendKey = [&] { control.sendInput(keyA); },
                                sendPacket = [&] { control.sendMicrophonePacket(packet); },
                                check = {};
    struct Step {
        int at;
        const char* label;
        std::size_t buffered;
        const std::function<void()>& send;
        bool sent;
        int stallsAfter;
    };
    constexpr std::size_t input = ControlChannel::inputBacklogBytes;
    constexpr std::size_t microphone = ControlChannel::microphoneBacklogBytes;
    const Step steps[] = {
        {0, "input-fast", 0, sendMotion, true, 0},
        {0, "microphone", microphone, sendPacket, true, 0},  // at the threshold
        {1000, "input-fast", input + 1, sendMotion, false, 0},
        {1000, "input", 10 * input, sendKey, true, 0},  // keys and buttons are kept
        {2000, "microphone", microphone + 1, sendPacket, false, 0},
        {3000, "input-fast", 100, sendMotion, true, 0},  // caught up
        {3000, "input", 0, sendKey, true, 0},
        {3000, "microphone", 0, sendPacket, true, 0},
        {4000, "input-fast", input + 1, sendMotion, false, 0},  // behind again from here
        {13900, "input-fast", input + 1, check, false, 0},
        {14000, "input-fast", input + 1, check, false, 1},
        {15000, "input-fast", input + 1, sendMotion, false, 1},  // reported once
    };
    std::map<std::string, fake::FakeChannelPair> channels;
    for (const char* label : {"input", "input-fast", "microphone"}) {
        channels.emplace(label, openChannel(label));
    }
    std::uint64_t dropped = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "at " << step.at << " ms on " << step.label);
        now = ControlChannel::Clock::time_point{} + std::chrono::milliseconds(step.at);
        fake::FakeDataChannel& channel = *channels.at(step.label).fake;
        channel.buffered = step.buffered;
        const std::size_t before = channel.sent().size();
        if (step.send) {
            step.send();
            dropped += !step.sent;
        } else {
            control.checkStalls();
        }
        EXPECT_EQ(channel.sent().size() - before, step.sent ? 1u : 0u);
        EXPECT_EQ(stalls, step.stallsAfter);
    }
    EXPECT_EQ(control.messagesDropped(), dropped);
}

// Engine, main and capture threads at once; run under ThreadSanitizer.
TEST_F(ControlChannelTest, channelsCanArriveWhileOtherThreadsSend) {
    std::vector<fake::FakeChannelPair> channels;
    for (int i = 0; i < 50; ++i) {
        channels.emplace_back(i % 3 == 0 ? "input" : i % 3 == 1 ? "input-fast" : "microphone");
    }
    std::atomic<bool> done{false};
    std::thread engine([&] {
        for (auto& pair : channels) {
            control.handleDataChannel(pair.channel);
            pair.fake->remoteOpen();
            pair.fake->receive(std::string(R"({"type":"cursor","x":1,"y":2,"visible":true})"));
        }
        done = true;
    });
    std::thread capture([&] {
        const std::vector<unsigned char> packet = {9};
        while (!done) {
            control.sendMicrophonePacket(packet);
        }
    });
    while (!done) {
        control.sendInput(keyA);
        control.sendInput(motion);
    }
    engine.join();
    capture.join();
    control.sendInput(keyA);
    EXPECT_FALSE(channels[48].fake->sent().empty()) << "the last input channel is the one in use";
    expectCursor(true, 1, 2);
}

}  // namespace

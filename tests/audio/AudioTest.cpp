#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "audio/AudioPlayer.hpp"
#include "audio/MicrophoneUplink.hpp"
#include "support/WaitFor.hpp"

namespace {

// SDL's audio subsystem on its "dummy" driver: it plays into nothing and captures silence.
class SdlAudio : public ::testing::Environment {
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_AUDIO), 0) << SDL_GetError();
    }
    void TearDown() override { SDL_QuitSubSystem(SDL_INIT_AUDIO); }
};
[[maybe_unused]] auto* const sdlAudio = ::testing::AddGlobalTestEnvironment(new SdlAudio);

TEST(AudioPlayer, packetsQueueUntilTheCapThenTheBacklogGoesAndBadPacketsAreRefused) {
    // A saved device that is gone falls back to the default one.
    AudioPlayer player("Headset that was unplugged");
    ASSERT_NE(player.deviceId(), 0u);
    // 20 ms of full-band stereo with no data, as a sender in silence sends: 7680 bytes decoded.
    const std::vector<unsigned char> packet = {0xFC};
    const unsigned char invalid[] = {0x03, 0x00};  // code 3 announcing zero frames
    struct Case {
        Uint32 queued;  // before the packet
        const unsigned char* data;
        std::size_t size;
        bool played;
        Uint32 after;
    };
    const Uint32 cap = AudioPlayer::queueCapBytes;
    const Case cases[] = {
        {cap, packet.data(), packet.size(), true, 76800 + 7680},
        {cap + 1, packet.data(), packet.size(), true, 7680},
        {0, invalid, sizeof invalid, false, 0},
        {0, packet.data(), 0, false, 0},
        {0, nullptr, 10, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.queued << " queued, " << c.size << " bytes");
        // SDL's audio thread must not drain the queue meanwhile.
        SDL_PauseAudioDevice(player.deviceId(), 1);
        SDL_ClearQueuedAudio(player.deviceId());
        const std::vector<unsigned char> silence(c.queued, 0);
        ASSERT_EQ(SDL_QueueAudio(player.deviceId(), silence.data(), c.queued), 0);
        EXPECT_EQ(player.playPacket(c.data, c.size), c.played);
        EXPECT_EQ(SDL_GetQueuedAudioSize(player.deviceId()), c.after);
    }
}

TEST(Microphone, captureRunsOnOneThreadOfItsOwnUntilStoppedAndStartsAgain) {
    std::mutex mutex;
    std::vector<std::thread::id> senders;  // the thread of each packet handed over
    std::atomic<int> secondSink{0};
    std::atomic<int> throwingSink{0};
    MicrophoneUplink microphone("");  // declared last: stops before its sinks' state goes away
    microphone.stop();                // never started: harmless
    microphone.start([&](std::span<const unsigned char>) {
        std::lock_guard lock(mutex);
        senders.push_back(std::this_thread::get_id());
    });
    // Already running: the first sink stays.
    microphone.start([&](std::span<const unsigned char>) { ++secondSink; });
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return senders.size() >= 3;
    }));
    microphone.stop();
    microphone.stop();
    EXPECT_FALSE(microphone.isRunning());
    EXPECT_EQ(secondSink.load(), 0);
    EXPECT_EQ(std::set(senders.begin(), senders.end()).size(), 1u);
    EXPECT_NE(senders[0], std::this_thread::get_id());

    // A sink that throws loses its frame, and capture goes on.
    microphone.start([&](std::span<const unsigned char>) {
        ++throwingSink;
        throw std::runtime_error("send failed");
    });
    EXPECT_TRUE(waitFor([&] { return throwingSink >= 3; }));
    EXPECT_TRUE(microphone.isRunning());
}

}  // namespace

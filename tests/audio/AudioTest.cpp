#include <SDL.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "audio/AudioPlayer.hpp"
#include "audio/MicrophoneUplink.hpp"
#include "support/WaitFor.hpp"

namespace {

// SDL's audio subsystem on its "dummy" driver for the length of a test: it plays into nothing
// and captures silence.
class SdlAudioDriver {
  public:
    SdlAudioDriver() {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        started = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    }
    ~SdlAudioDriver() {
        if (started) {
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
        }
    }
    SdlAudioDriver(const SdlAudioDriver&) = delete;
    SdlAudioDriver& operator=(const SdlAudioDriver&) = delete;

    bool started = false;
};

TEST(AudioPlayer, packetsQueueUntilTheCapThenTheBacklogGoesAndBadPacketsAreRefused) {
    SdlAudioDriver driver;
    ASSERT_TRUE(driver.started) << SDL_GetError();
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
        {7680, packet.data(), packet.size(), true, 2 * 7680},
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

// Counts what the capture thread hands over, and notes on which threads.
struct PacketRecorder {
    MicrophoneUplink::PacketSink sink() {
        return [this](std::span<const unsigned char>) {
            std::lock_guard lock(mutex);
            ++packets;
            threads.insert(std::this_thread::get_id());
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return packets;
    }
    std::mutex mutex;
    std::size_t packets = 0;
    std::set<std::thread::id> threads;
};

TEST(Microphone, captureRunsOnOneThreadOfItsOwnUntilStoppedAndStartsAgain) {
    SdlAudioDriver driver;
    ASSERT_TRUE(driver.started) << SDL_GetError();
    MicrophoneUplink microphone("");
    microphone.stop();  // never started: harmless
    PacketRecorder first, second;
    microphone.start(first.sink());
    microphone.start(second.sink());  // already running: the first sink stays
    ASSERT_TRUE(waitFor([&] { return first.count() >= 3; }));
    microphone.stop();
    microphone.stop();
    EXPECT_FALSE(microphone.isRunning());
    EXPECT_EQ(second.count(), 0u);
    EXPECT_EQ(first.threads.size(), 1u);
    EXPECT_EQ(first.threads.count(std::this_thread::get_id()), 0u);

    // A sink that throws loses its frame, and capture goes on.
    std::atomic<int> calls{0};
    microphone.start([&](std::span<const unsigned char>) {
        ++calls;
        throw std::runtime_error("send failed");
    });
    EXPECT_TRUE(waitFor([&] { return calls >= 3; }));
    EXPECT_TRUE(microphone.isRunning());
}

}  // namespace

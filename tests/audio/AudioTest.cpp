#include <SDL.h>
#include <gtest/gtest.h>
#include <opus.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <numbers>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioDevices.hpp"
#include "audio/AudioPlayer.hpp"
#include "audio/MicrophoneUplink.hpp"
#include "support/WaitFor.hpp"

namespace {

// SDL's audio subsystem on one of its headless drivers for the length of a test: "dummy"
// plays into nothing and captures silence; "disk" reads capture input from the file named
// as the device.
class SdlAudioDriver {
  public:
    explicit SdlAudioDriver(const char* driver) {
        setenv("SDL_AUDIODRIVER", driver, 1);
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

// Sample t of a 440 Hz tone at 48 kHz.
inline float toneSample(int t, double level = 0.5) {
    return static_cast<float>(level * std::sin(2.0 * std::numbers::pi * 440.0 * t / 48000.0));
}

// One Opus packet: 20 ms of a stereo tone, 7680 bytes once decoded.
std::vector<unsigned char> stereoPacket() {
    int error = 0;
    std::unique_ptr<OpusEncoder, void (*)(OpusEncoder*)> encoder(
        opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error), opus_encoder_destroy);
    std::vector<float> pcm(960 * 2);
    for (int i = 0; i < 960; ++i) {
        pcm[2 * i] = pcm[2 * i + 1] = toneSample(i, 0.3);
    }
    std::vector<unsigned char> packet(4000);
    packet.resize(
        std::max(0, opus_encode_float(encoder.get(), pcm.data(), 960, packet.data(), 4000)));
    return packet;
}

TEST(AudioPlayer, packetsQueueUntilTheCapThenTheBacklogGoesAndBadPacketsAreRefused) {
    SdlAudioDriver driver("dummy");
    ASSERT_TRUE(driver.started) << SDL_GetError();
    // A saved device that is gone falls back to the default one.
    AudioPlayer player("Headset that was unplugged");
    ASSERT_NE(player.deviceId(), 0u);
    const auto packet = stereoPacket();
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

TEST(AudioPlayer, withoutAnyAudioDeviceTheReasonIsSdlsAndNoDeviceIsListed) {
    ASSERT_EQ(SDL_WasInit(SDL_INIT_AUDIO), 0u);
    try {
        AudioPlayer player("Some device");
        FAIL() << "opened a device without an audio subsystem";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), SDL_GetError());
        EXPECT_STRNE(error.what(), "");
    }
    EXPECT_TRUE(listOutputDevices().empty());
    EXPECT_TRUE(listCaptureDevices().empty());
}

// Collects what the capture thread hands over, and on which threads.
struct PacketRecorder {
    MicrophoneUplink::PacketSink sink() {
        return [this](std::span<const unsigned char> packet) {
            std::lock_guard lock(mutex);
            packets.emplace_back(packet.begin(), packet.end());
            threads.insert(std::this_thread::get_id());
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return packets.size();
    }
    std::mutex mutex;
    std::vector<std::vector<unsigned char>> packets;
    std::set<std::thread::id> threads;
};

TEST(Microphone, captureRunsOnOneThreadOfItsOwnUntilStoppedAndStartsAgain) {
    SdlAudioDriver driver("dummy");
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

// The disk driver reads capture input from the file named as the device: a 440 Hz tone must
// come out of the encoder whole, which checks the capture format and framing end to end.
TEST(Microphone, capturedToneSurvivesEncoding) {
    const auto tonePath = std::filesystem::path(::testing::TempDir()) /
                          ("tone-440-" + std::to_string(getpid()) + ".f32");
    {
        std::ofstream out(tonePath, std::ios::binary);
        for (int i = 0; i < 48000 * 3; ++i) {
            const float v = toneSample(i);
            out.write(reinterpret_cast<const char*>(&v), sizeof v);
        }
    }
    SdlAudioDriver driver("disk");
    ASSERT_TRUE(driver.started) << SDL_GetError();
    PacketRecorder recorder;
    {
        MicrophoneUplink microphone(tonePath.string());
        microphone.start(recorder.sink());
        ASSERT_TRUE(waitFor([&] { return recorder.count() >= 40; }, std::chrono::seconds(10)));
    }
    std::filesystem::remove(tonePath);

    int error = 0;
    std::unique_ptr<OpusDecoder, void (*)(OpusDecoder*)> decoder(
        opus_decoder_create(48000, 1, &error), opus_decoder_destroy);
    std::vector<float> heard;
    std::vector<float> pcm(5760);
    for (std::size_t p = 0; p < 40; ++p) {
        const auto& packet = recorder.packets[p];
        const int n =
            opus_decode_float(decoder.get(), packet.data(), static_cast<opus_int32>(packet.size()),
                              pcm.data(), 5760, 0);
        ASSERT_EQ(n, 960) << "packet " << p;
        if (p >= 10) {  // past the encoder's start-up
            heard.insert(heard.end(), pcm.begin(), pcm.begin() + n);
        }
    }
    int crossings = 0;
    double energy = 0.0;
    for (std::size_t i = 1; i < heard.size(); ++i) {
        crossings += (heard[i - 1] < 0.0f) != (heard[i] < 0.0f);
        energy += heard[i] * heard[i];
    }
    EXPECT_NEAR(crossings / 2.0 / (heard.size() / 48000.0), 440.0, 15.0);
    EXPECT_NEAR(std::sqrt(energy / heard.size()), 0.5 / std::sqrt(2.0), 0.1);
}

}  // namespace

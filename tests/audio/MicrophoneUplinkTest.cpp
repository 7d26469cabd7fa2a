#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>

#include "SdlAudioDriver.hpp"
#include "audio/MicrophoneUplink.hpp"
#include "input/ControlChannel.hpp"
#include "support/FakeRtc.hpp"

namespace {

// Collects what the capture thread hands over.
struct PacketRecorder {
    void operator()(std::span<const unsigned char> packet) {
        std::lock_guard lock(mutex);
        packets.emplace_back(packet.begin(), packet.end());
        threads.insert(std::this_thread::get_id());
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return packets.size();
    }
    std::mutex mutex;
    std::vector<std::vector<unsigned char>> packets;
    std::set<std::thread::id> threads;
};

MicrophoneUplink::PacketSink sinkInto(PacketRecorder& recorder) {
    return [&recorder](std::span<const unsigned char> packet) { recorder(packet); };
}

class MicrophoneTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(driver.started) << SDL_GetError(); }
    SdlAudioDriver driver{"dummy"};
};

std::filesystem::path scratchFile(const std::string& name) {
    return std::filesystem::path(::testing::TempDir()) / (name + "-" + std::to_string(getpid()));
}

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(MicrophoneTest, savedMicrophoneIsOpenedOrItsFailureLoggedAndSkipped) {
    const auto logPath = scratchFile("microphone-startup.log");
    {
        EventLog log(logPath);
        EXPECT_EQ(openSavedMicrophone("", log), nullptr);
        EXPECT_EQ(openSavedMicrophone("Gone Microphone", log), nullptr);
        EXPECT_NE(openSavedMicrophone("System audio capture device", log), nullptr);
    }
    EXPECT_EQ(readAll(logPath),
              "microphone_error=No such device\nmicrophone=System audio capture device\n");
}

TEST_F(MicrophoneTest, unopenableDeviceThrowsSdlsText) {
    try {
        MicrophoneUplink microphone("Microphone that is not there");
        FAIL() << "opened a capture device that does not exist";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), SDL_GetError());
        EXPECT_STRNE(error.what(), "");
    }
}

TEST_F(MicrophoneTest, secondStartKeepsTheFirstThreadAndSink) {
    MicrophoneUplink microphone("");
    PacketRecorder first;
    PacketRecorder second;
    microphone.start(sinkInto(first));
    microphone.start(sinkInto(second));
    ASSERT_TRUE(waitFor([&] { return first.count() >= 5; }));
    microphone.stop();
    EXPECT_EQ(second.count(), 0u);
    EXPECT_EQ(first.threads.size(), 1u);
    EXPECT_EQ(first.threads.count(std::this_thread::get_id()), 0u);
    for (const auto& packet : first.packets) {
        EXPECT_GE(packet.size(), 1u);
        EXPECT_LE(packet.size(), 4000u);
    }
}

TEST_F(MicrophoneTest, stopIsHarmlessWhenRepeatedOrNeverStartedAndStartWorksAgain) {
    MicrophoneUplink microphone("");
    microphone.stop();
    PacketRecorder recorder;
    microphone.start(sinkInto(recorder));
    ASSERT_TRUE(waitFor([&] { return recorder.count() >= 2; }));
    microphone.stop();
    microphone.stop();
    EXPECT_FALSE(microphone.isRunning());

    const std::size_t before = recorder.count();
    microphone.start(sinkInto(recorder));
    EXPECT_TRUE(waitFor([&] { return recorder.count() >= before + 2; }));
    EXPECT_TRUE(microphone.isRunning());
}

TEST_F(MicrophoneTest, throwingSinkDropsTheFrameAndCaptureGoesOn) {
    MicrophoneUplink microphone("");
    std::atomic<int> calls{0};
    microphone.start([&](std::span<const unsigned char>) {
        ++calls;
        throw std::runtime_error("send failed");
    });
    EXPECT_TRUE(waitFor([&] { return calls >= 3; }));
    EXPECT_TRUE(microphone.isRunning());
}

TEST_F(MicrophoneTest, packetsAreDroppedUntilTheMicrophoneChannelOpens) {
    EventLog log(scratchFile("microphone-channel.log"));
    RemoteCursor cursor;
    ControlChannel control(log, cursor);
    std::atomic<std::size_t> produced{0};
    MicrophoneUplink microphone("");
    microphone.start([&](std::span<const unsigned char> packet) {
        ++produced;
        control.sendMicrophonePacket(packet);
    });

    ASSERT_TRUE(waitFor([&] { return produced >= 3; }));
    fake::FakeChannelPair channel("microphone");
    control.handleDataChannel(channel.channel);
    const std::size_t kept = produced;
    ASSERT_TRUE(waitFor([&] { return produced >= kept + 3; }));
    EXPECT_TRUE(channel.fake->sent().empty());

    channel.fake->remoteOpen();
    ASSERT_TRUE(waitFor([&] { return channel.fake->sent().size() >= 3; }));
    microphone.stop();
    for (const auto& message : channel.fake->sent()) {
        ASSERT_TRUE(std::holds_alternative<rtc::binary>(message));
        const auto& bytes = std::get<rtc::binary>(message);
        ASSERT_GT(bytes.size(), 4u);
        EXPECT_EQ(bytes[0], std::byte{0x4d});
        EXPECT_EQ(bytes[1], std::byte{0x49});
        EXPECT_EQ(bytes[2], std::byte{0x43});
        EXPECT_EQ(bytes[3], std::byte{0x30});
    }
}

// The disk driver reads capture input from the file named as the device: a 440 Hz tone must
// come out of the encoder as 440 Hz, which checks the capture format end to end.
TEST(MicrophoneFromFile, capturedToneSurvivesEncoding) {
    const auto tonePath = scratchFile("tone-440.f32");
    {
        std::ofstream out(tonePath, std::ios::binary);
        for (int i = 0; i < 48000 * 3; ++i) {
            const float v = 0.5f * std::sin(2.0 * std::numbers::pi * 440.0 * i / 48000.0);
            out.write(reinterpret_cast<const char*>(&v), sizeof v);
        }
    }
    SdlAudioDriver driver("disk");
    ASSERT_TRUE(driver.started) << SDL_GetError();
    PacketRecorder recorder;
    {
        MicrophoneUplink microphone(tonePath.string());
        microphone.start(sinkInto(recorder));
        ASSERT_TRUE(waitFor([&] { return recorder.count() >= 40; }, std::chrono::seconds(10)));
    }

    int error = 0;
    std::unique_ptr<OpusDecoder, OpusDecoderDeleter> decoder(opus_decoder_create(48000, 1, &error));
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
    const double seconds = heard.size() / 48000.0;
    const double frequency = crossings / 2.0 / seconds;
    const double rms = std::sqrt(energy / heard.size());
    EXPECT_NEAR(frequency, 440.0, 15.0);
    EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.1);
}

}  // namespace

#include <gtest/gtest.h>

#include "SdlAudioDriver.hpp"
#include "audio/AudioDevices.hpp"
#include "audio/AudioPlayer.hpp"

namespace {

class AudioPlayerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(driver.started) << SDL_GetError(); }

    // Stops SDL's audio thread from draining the queue and fills it with exactly `bytes`.
    static void holdQueueAt(const AudioPlayer& player, Uint32 bytes) {
        SDL_PauseAudioDevice(player.deviceId(), 1);
        SDL_ClearQueuedAudio(player.deviceId());
        const std::vector<unsigned char> silence(bytes, 0);
        ASSERT_EQ(SDL_QueueAudio(player.deviceId(), silence.data(), bytes), 0) << SDL_GetError();
        ASSERT_EQ(SDL_GetQueuedAudioSize(player.deviceId()), bytes);
    }

    SdlAudioDriver driver{"dummy"};
    const std::vector<std::vector<unsigned char>> packets = encodeStereoTone(5);
};

TEST_F(AudioPlayerTest, twentyMillisecondPacketQueuesOnTopOfAQueueAtTheCap) {
    AudioPlayer player("");
    holdQueueAt(player, AudioPlayer::queueCapBytes);
    EXPECT_TRUE(player.playPacket(packets[0].data(), packets[0].size()));
    EXPECT_EQ(SDL_GetQueuedAudioSize(player.deviceId()), 76800u + 7680u);
}

TEST_F(AudioPlayerTest, queueOneByteOverTheCapIsClearedBeforeTheNewPacket) {
    AudioPlayer player("");
    holdQueueAt(player, AudioPlayer::queueCapBytes + 1);
    EXPECT_TRUE(player.playPacket(packets[0].data(), packets[0].size()));
    EXPECT_EQ(SDL_GetQueuedAudioSize(player.deviceId()), 7680u);
}

TEST_F(AudioPlayerTest, badPacketFailsAndTheNextOnePlays) {
    AudioPlayer player("");
    holdQueueAt(player, 0);
    ASSERT_TRUE(player.playPacket(packets[0].data(), packets[0].size()));
    // A code-3 packet announcing zero frames is invalid; an empty one carries nothing.
    const unsigned char invalid[] = {0x03, 0x00};
    EXPECT_FALSE(player.playPacket(invalid, sizeof invalid));
    EXPECT_FALSE(player.playPacket(packets[1].data(), 0));
    EXPECT_FALSE(player.playPacket(nullptr, 10));
    EXPECT_EQ(SDL_GetQueuedAudioSize(player.deviceId()), 7680u);
    EXPECT_TRUE(player.playPacket(packets[1].data(), packets[1].size()));
    EXPECT_EQ(SDL_GetQueuedAudioSize(player.deviceId()), 2u * 7680u);
}

TEST_F(AudioPlayerTest, vanishedSavedDeviceFallsBackToTheDefault) {
    AudioPlayer player("Headset that was unplugged");
    EXPECT_NE(player.deviceId(), 0u);
    holdQueueAt(player, 0);
    EXPECT_TRUE(player.playPacket(packets[0].data(), packets[0].size()));
}

TEST_F(AudioPlayerTest, playbackDrainsWhileThePlayerRuns) {
    AudioPlayer player("");
    for (const auto& packet : packets) {
        ASSERT_TRUE(player.playPacket(packet.data(), packet.size()));
    }
    EXPECT_TRUE(waitFor([&] { return SDL_GetQueuedAudioSize(player.deviceId()) == 0; }));
}

TEST_F(AudioPlayerTest, devicesAreListedInSdlOrder) {
    EXPECT_EQ(listOutputDevices(), std::vector<std::string>{SDL_GetAudioDeviceName(0, 0)});
    EXPECT_EQ(listCaptureDevices(), std::vector<std::string>{SDL_GetAudioDeviceName(0, 1)});
}

TEST(AudioPlayerWithoutAudio, noDeviceAtAllGivesSdlsReasonAndNoDeviceList) {
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

}  // namespace

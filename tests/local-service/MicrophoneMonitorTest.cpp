#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "MicrophoneMonitor.hpp"

namespace {

std::vector<float> tone(double frequency, double amplitude, std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency *
                                                             static_cast<double>(i) / 48000.0));
    }
    return samples;
}

TEST(MicrophoneMonitorTest, dominantFrequencyFindsTonesAcrossTheVoiceRange) {
    for (double frequency : {100.0, 440.0, 1000.0, 2500.0, 7000.0}) {
        EXPECT_NEAR(dominantFrequency(tone(frequency, 0.3, 48000), 48000), frequency, 3.0)
            << frequency;
    }
    // A louder tone wins over a quieter one.
    auto mixed = tone(300.0, 0.1, 48000);
    auto loud = tone(1200.0, 0.4, 48000);
    for (std::size_t i = 0; i < mixed.size(); ++i) {
        mixed[i] += loud[i];
    }
    EXPECT_NEAR(dominantFrequency(mixed, 48000), 1200.0, 3.0);
    EXPECT_EQ(dominantFrequency(std::vector<float>(48000, 0.0f), 48000), 0.0);
    EXPECT_EQ(dominantFrequency({}, 48000), 0.0);
}

TEST(MicrophoneMonitorTest, rmsLevelOfKnownSignals) {
    EXPECT_NEAR(rmsLevel(tone(440.0, 0.5, 48000)), 0.5 / std::sqrt(2.0), 1e-3);
    EXPECT_DOUBLE_EQ(rmsLevel(std::vector<float>(100, -0.25f)), 0.25);
    EXPECT_DOUBLE_EQ(rmsLevel({}), 0.0);
}

TEST(MicrophoneMonitorTest, silenceAndGarbageAreToldApartFromSound) {
    MicrophoneMonitor monitor;
    int error = 0;
    std::unique_ptr<OpusEncoder, void (*)(OpusEncoder*)> encoder(
        opus_encoder_create(48000, 1, OPUS_APPLICATION_VOIP, &error), opus_encoder_destroy);
    ASSERT_EQ(error, OPUS_OK);
    std::vector<float> silence(960, 0.0f);
    std::uint8_t packet[1500];
    std::optional<nlohmann::json> summary;
    for (int i = 0; i < MicrophoneMonitor::packetsPerSummary - 2; ++i) {
        int size = opus_encode_float(encoder.get(), silence.data(), 960, packet, sizeof packet);
        ASSERT_GT(size, 0);
        EXPECT_FALSE(monitor.addPacket(packet, size));
    }
    const std::uint8_t garbage[] = {0xff, 0xff, 0xff};
    EXPECT_FALSE(monitor.addPacket(garbage, sizeof garbage));
    summary = monitor.addPacket(nullptr, 0);
    ASSERT_TRUE(summary);
    EXPECT_EQ((*summary)["micPackets"], MicrophoneMonitor::packetsPerSummary);
    EXPECT_EQ((*summary)["micErrors"], 2);
    EXPECT_LT((*summary)["rms"].get<double>(), 0.01);
    EXPECT_EQ((*summary)["dominantHz"].get<double>(), 0.0);
}

}  // namespace

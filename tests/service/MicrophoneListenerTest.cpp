#include <gtest/gtest.h>
#include <opus.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

#include "MicrophoneListener.hpp"

namespace {

constexpr int rate = 48000;
constexpr int frame = 960;

// Packets as the client sends them: "MIC0" and a VoIP Opus packet of 20 ms.
class Speaker {
  public:
    Speaker() {
        int error = OPUS_OK;
        encoder.reset(opus_encoder_create(rate, 1, OPUS_APPLICATION_VOIP, &error));
        opus_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(32000));
        opus_encoder_ctl(encoder.get(), OPUS_SET_COMPLEXITY(5));
    }

    std::vector<std::uint8_t> packet(double frequency, double amplitude) {
        std::vector<float> samples(frame);
        for (float& sample : samples) {
            sample = static_cast<float>(
                amplitude * std::sin(2.0 * std::numbers::pi * frequency * position++ / rate));
        }
        std::vector<std::uint8_t> message = {'M', 'I', 'C', '0'};
        std::vector<unsigned char> encoded(4000);
        int n = opus_encode_float(encoder.get(), samples.data(), frame, encoded.data(), 4000);
        EXPECT_GT(n, 0);
        message.insert(message.end(), encoded.begin(), encoded.begin() + std::max(n, 0));
        return message;
    }

  private:
    struct Destroy {
        void operator()(OpusEncoder* e) const { opus_encoder_destroy(e); }
    };
    std::unique_ptr<OpusEncoder, Destroy> encoder;
    long long position = 0;
};

struct Reports {
    std::vector<nlohmann::json> lines;
    MicrophoneListener::Report sink() {
        return [this](const nlohmann::json& line) { lines.push_back(line); };
    }
};

TEST(MicrophoneListenerTest, aToneIsHeardAtItsFrequencyOncePerSecondOfAudio) {
    for (double frequency : {440.0, 1000.0, 183.0}) {
        Reports reports;
        MicrophoneListener listener(reports.sink());
        Speaker speaker;
        for (int i = 0; i < 49; ++i) {
            listener.onMessage(speaker.packet(frequency, 0.5));
        }
        EXPECT_TRUE(reports.lines.empty()) << "before a whole second";
        listener.onMessage(speaker.packet(frequency, 0.5));
        ASSERT_EQ(reports.lines.size(), 1u);
        const nlohmann::json& heard = reports.lines[0]["microphone"];
        EXPECT_EQ(heard["packets"], 50);
        EXPECT_EQ(heard["rejected"], 0);
        EXPECT_NEAR(heard["dominantHz"].get<double>(), frequency, 5.0) << frequency;
        // A sine of amplitude 0.5 has an RMS of about 0.354; Opus keeps the level roughly.
        EXPECT_NEAR(heard["rms"].get<double>(), 0.354, 0.06) << frequency;

        for (int i = 0; i < 50; ++i) {
            listener.onMessage(speaker.packet(frequency, 0.5));
        }
        ASSERT_EQ(reports.lines.size(), 2u);
        EXPECT_EQ(reports.lines[1]["microphone"]["packets"], 100);
    }
}

TEST(MicrophoneListenerTest, silenceAfterAToneReadsAsSilence) {
    Reports reports;
    MicrophoneListener listener(reports.sink());
    Speaker speaker;
    for (int i = 0; i < 50; ++i) {
        listener.onMessage(speaker.packet(440.0, 0.5));
    }
    // The second after next: the codec's delay carries a few ms of tone into the next one.
    for (int i = 0; i < 100; ++i) {
        listener.onMessage(speaker.packet(440.0, 0.0));
    }
    ASSERT_EQ(reports.lines.size(), 3u);
    EXPECT_GT(reports.lines[0]["microphone"]["rms"].get<double>(), 0.2);
    EXPECT_LT(reports.lines[2]["microphone"]["rms"].get<double>(), 0.001);
    EXPECT_EQ(reports.lines[2]["microphone"]["dominantHz"], 0);
}

TEST(MicrophoneListenerTest, sessionEndReportsWhatWasHeardSinceTheLastReport) {
    Reports reports;
    MicrophoneListener listener(reports.sink());
    listener.finish();
    EXPECT_TRUE(reports.lines.empty()) << "nothing heard, nothing to say";

    Speaker speaker;
    for (int i = 0; i < 60; ++i) {
        listener.onMessage(speaker.packet(440.0, 0.5));
    }
    listener.finish();
    ASSERT_EQ(reports.lines.size(), 2u);
    EXPECT_EQ(reports.lines[1]["microphone"]["packets"], 60);
    EXPECT_NEAR(reports.lines[1]["microphone"]["dominantHz"].get<double>(), 440.0, 5.0);
    listener.finish();
    EXPECT_EQ(reports.lines.size(), 2u);
}

TEST(MicrophoneListenerTest, messagesWithoutThePrefixOrAValidPacketAreRejected) {
    Reports reports;
    MicrophoneListener listener(reports.sink());
    Speaker speaker;
    std::vector<std::uint8_t> good = speaker.packet(440.0, 0.5);
    std::vector<std::uint8_t> wrongPrefix = good;
    wrongPrefix[3] = '1';
    std::vector<std::uint8_t> prefixOnly = {'M', 'I', 'C', '0'};
    // A TOC byte announcing frames the packet does not carry.
    std::vector<std::uint8_t> broken = {'M', 'I', 'C', '0', 0xFF, 0xFF};
    for (const auto& message : {std::vector<std::uint8_t>{}, wrongPrefix, prefixOnly, broken}) {
        listener.onMessage(message);
    }
    listener.onMessage(good);
    nlohmann::json summary = listener.summary()["microphone"];
    EXPECT_EQ(summary["packets"], 1);
    EXPECT_EQ(summary["rejected"], 4);
}

TEST(MicrophoneListenerTest, dominantFrequencyOfRawSamples) {
    std::vector<float> samples(rate / 2);
    for (double frequency : {50.0, 440.0, 2500.0, 3999.0}) {
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] =
                static_cast<float>(0.3 * std::sin(2.0 * std::numbers::pi * frequency * i / rate) +
                                   0.05 * std::sin(2.0 * std::numbers::pi * 777.0 * i / rate));
        }
        EXPECT_NEAR(dominantFrequency(samples, rate), frequency, 1.5) << frequency;
    }
    EXPECT_EQ(dominantFrequency(std::vector<float>(rate, 0.0f), rate), 0.0);
    EXPECT_EQ(dominantFrequency(std::vector<float>(10, 0.5f), rate), 0.0) << "too short";
}

}  // namespace

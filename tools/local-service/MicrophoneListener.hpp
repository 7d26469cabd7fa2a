#pragma once

// Listens to the viewer's microphone: decodes the "MIC0" Opus packets (48 kHz mono) and
// reports, once per second of audio heard and when the session ends, the packet count and
// the level and dominant frequency of the last second, so a tone can be told from silence.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <span>
#include <vector>

struct OpusDecoder;

class MicrophoneListener {
  public:
    using Report = std::function<void(const nlohmann::json&)>;

    // Throws std::runtime_error when no Opus decoder can be made.
    explicit MicrophoneListener(Report report);
    ~MicrophoneListener();
    MicrophoneListener(const MicrophoneListener&) = delete;
    MicrophoneListener& operator=(const MicrophoneListener&) = delete;

    // One binary message of the "microphone" channel. Messages without the prefix or with a
    // packet the decoder refuses are counted as rejected and otherwise ignored.
    void onMessage(std::span<const std::uint8_t> message);
    // Reports what was heard since the last report, if anything.
    void finish();

    // {"microphone":{"packets":N,"rejected":R,"rms":L,"dominantHz":F}} for the last second.
    nlohmann::json summary() const;

  private:
    struct DecoderFree {
        void operator()(OpusDecoder* decoder) const;
    };
    nlohmann::json summaryLocked() const;

    const Report report;
    mutable std::mutex mutex;
    std::unique_ptr<OpusDecoder, DecoderFree> decoder;
    std::vector<float> lastSecond;  // ring of the most recent samples
    std::size_t ringEnd = 0;
    std::size_t samplesHeard = 0;
    std::size_t samplesSinceReport = 0;
    std::uint64_t packets = 0;
    std::uint64_t rejected = 0;
};

// The strongest frequency of samples (at sampleRate) between 50 and 4000 Hz, to about 1 Hz;
// 0 for silence.
double dominantFrequency(std::span<const float> samples, int sampleRate);

#pragma once

// Listens to the viewer's microphone: decodes its Opus packets and sums up what it heard
// (packet count, level, dominant frequency), so a test can tell a tone from silence.

#include <opus.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

// Root mean square of samples in -1..1; 0 for none.
double rmsLevel(const std::vector<float>& samples);

// The strongest frequency between 50 Hz and 8 kHz, to within a few hertz; 0 for silence.
double dominantFrequency(const std::vector<float>& samples, int sampleRate);

class MicrophoneMonitor {
  public:
    static constexpr int sampleRate = 48000;
    // One summary per second of packets (20 ms each).
    static constexpr int packetsPerSummary = 50;

    MicrophoneMonitor();

    // One Opus packet (without the "MIC0" tag). Returns a summary when one is due:
    // {"channel":"microphone","micPackets":n,"micErrors":e,"rms":r,"dominantHz":f}.
    std::optional<nlohmann::json> addPacket(const std::uint8_t* data, std::size_t size);

  private:
    struct DecoderFree {
        void operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }
    };

    std::mutex mutex;
    std::unique_ptr<OpusDecoder, DecoderFree> decoder;
    std::vector<float> recent;  // the samples since the last summary
    std::uint64_t packets = 0;
    std::uint64_t errors = 0;
};

#include "MicrophoneMonitor.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace {

constexpr int maxFrameSamples = 5760;         // 120 ms at 48 kHz, the longest Opus frame
constexpr std::size_t analysisWindow = 9600;  // 200 ms: 5 Hz bins

// Power of one frequency in the samples (Goertzel).
double powerAt(const std::vector<float>& samples, std::size_t start, double frequency,
               int sampleRate) {
    double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / sampleRate);
    double previous = 0.0, beforePrevious = 0.0;
    for (std::size_t i = start; i < samples.size(); ++i) {
        double current = samples[i] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious -
           coefficient * previous * beforePrevious;
}

}  // namespace

double rmsLevel(const std::vector<float>& samples) {
    if (samples.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (float sample : samples) {
        sum += static_cast<double>(sample) * sample;
    }
    return std::sqrt(sum / samples.size());
}

double dominantFrequency(const std::vector<float>& samples, int sampleRate) {
    if (rmsLevel(samples) < 1e-4) {
        return 0.0;
    }
    // The latest window only: enough resolution, bounded cost.
    std::size_t start = samples.size() > analysisWindow ? samples.size() - analysisWindow : 0;
    double best = 0.0, bestPower = 0.0;
    for (double frequency = 50.0; frequency <= 8000.0; frequency += 5.0) {
        double power = powerAt(samples, start, frequency, sampleRate);
        if (power > bestPower) {
            bestPower = power;
            best = frequency;
        }
    }
    // Refine between the neighbours of the best step.
    for (double frequency = best - 4.0; frequency <= best + 4.0; frequency += 1.0) {
        double power = powerAt(samples, start, frequency, sampleRate);
        if (power > bestPower) {
            bestPower = power;
            best = frequency;
        }
    }
    return best;
}

MicrophoneMonitor::MicrophoneMonitor() {
    int error = OPUS_OK;
    decoder.reset(opus_decoder_create(sampleRate, 1, &error));
    if (error != OPUS_OK || !decoder) {
        throw std::runtime_error(std::string("Opus decoder: ") + opus_strerror(error));
    }
}

std::optional<nlohmann::json> MicrophoneMonitor::addPacket(const std::uint8_t* data,
                                                           std::size_t size) {
    std::lock_guard lock(mutex);
    ++packets;
    float pcm[maxFrameSamples];
    int samples = size == 0 ? OPUS_INVALID_PACKET
                            : opus_decode_float(decoder.get(), data, static_cast<opus_int32>(size),
                                                pcm, maxFrameSamples, 0);
    if (samples < 0) {
        ++errors;
    } else {
        recent.insert(recent.end(), pcm, pcm + samples);
    }
    if (packets % packetsPerSummary != 0) {
        return std::nullopt;
    }
    nlohmann::json summary = {{"channel", "microphone"},
                              {"micPackets", packets},
                              {"micErrors", errors},
                              {"rms", rmsLevel(recent)},
                              {"dominantHz", dominantFrequency(recent, sampleRate)}};
    recent.clear();
    return summary;
}

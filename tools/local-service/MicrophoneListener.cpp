#include "MicrophoneListener.hpp"

#include <opus.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace {

constexpr int sampleRate = 48000;
constexpr std::size_t secondOfSamples = sampleRate;
// 120 ms is the longest Opus packet.
constexpr int largestFrame = sampleRate * 120 / 1000;
constexpr std::uint8_t prefix[] = {'M', 'I', 'C', '0'};

// Power at one frequency (Goertzel) of Hann-windowed samples.
double powerAt(std::span<const float> windowed, double frequency, int rate) {
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequency / rate);
    double previous = 0.0;
    double beforePrevious = 0.0;
    for (float sample : windowed) {
        double current = sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    return previous * previous + beforePrevious * beforePrevious -
           coefficient * previous * beforePrevious;
}

}  // namespace

double dominantFrequency(std::span<const float> samples, int rate) {
    // A quarter second is plenty for 1 Hz after refining, and keeps the scan cheap.
    const std::size_t length = std::min<std::size_t>(samples.size(), rate / 4);
    if (length < 64) {
        return 0.0;
    }
    std::vector<float> windowed(length);
    const std::size_t start = samples.size() - length;
    double energy = 0.0;
    for (std::size_t i = 0; i < length; ++i) {
        double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * i / (length - 1));
        windowed[i] = static_cast<float>(samples[start + i] * hann);
        energy += samples[start + i] * samples[start + i];
    }
    if (energy / length < 1e-8) {
        return 0.0;
    }
    // Coarse steps no wider than the window's main lobe, then 1 Hz around the best.
    const double step = std::max(5.0, 2.0 * rate / length);
    auto best = [&](double from, double to, double by) {
        double bestFrequency = from;
        double bestPower = -1.0;
        for (double f = from; f <= to; f += by) {
            double power = powerAt(windowed, f, rate);
            if (power > bestPower) {
                bestPower = power;
                bestFrequency = f;
            }
        }
        return bestFrequency;
    };
    double coarse = best(50.0, 4000.0, step);
    return best(std::max(50.0, coarse - step), std::min(4000.0, coarse + step), 1.0);
}

void MicrophoneListener::DecoderFree::operator()(OpusDecoder* decoder) const {
    opus_decoder_destroy(decoder);
}

MicrophoneListener::MicrophoneListener(Report report)
    : report(std::move(report)), lastSecond(secondOfSamples, 0.0f) {
    int error = OPUS_OK;
    decoder.reset(opus_decoder_create(sampleRate, 1, &error));
    if (!decoder || error != OPUS_OK) {
        throw std::runtime_error("Opus microphone decoder unavailable");
    }
}

MicrophoneListener::~MicrophoneListener() = default;

void MicrophoneListener::onMessage(std::span<const std::uint8_t> message) {
    nlohmann::json due;
    {
        std::lock_guard lock(mutex);
        if (message.size() <= sizeof prefix ||
            !std::equal(std::begin(prefix), std::end(prefix), message.begin())) {
            ++rejected;
            return;
        }
        std::vector<float> frame(largestFrame);
        auto packet = message.subspan(sizeof prefix);
        int decoded =
            opus_decode_float(decoder.get(), packet.data(), static_cast<opus_int32>(packet.size()),
                              frame.data(), largestFrame, 0);
        if (decoded <= 0) {
            ++rejected;
            return;
        }
        ++packets;
        for (int i = 0; i < decoded; ++i) {
            lastSecond[ringEnd] = frame[i];
            ringEnd = (ringEnd + 1) % lastSecond.size();
        }
        samplesHeard += static_cast<std::size_t>(decoded);
        samplesSinceReport += static_cast<std::size_t>(decoded);
        if (samplesSinceReport >= secondOfSamples) {
            samplesSinceReport = 0;
            due = summaryLocked();
        }
    }
    // Outside the lock: the report writes a file.
    if (!due.is_null() && report) {
        report(due);
    }
}

void MicrophoneListener::finish() {
    nlohmann::json due;
    {
        std::lock_guard lock(mutex);
        if (samplesSinceReport == 0 && rejected == 0) {
            return;
        }
        samplesSinceReport = 0;
        due = summaryLocked();
    }
    if (report) {
        report(due);
    }
}

nlohmann::json MicrophoneListener::summary() const {
    std::lock_guard lock(mutex);
    return summaryLocked();
}

nlohmann::json MicrophoneListener::summaryLocked() const {
    // The ring in time order, only as much as was heard.
    const std::size_t heard = std::min(samplesHeard, lastSecond.size());
    std::vector<float> recent(heard);
    for (std::size_t i = 0; i < heard; ++i) {
        recent[i] = lastSecond[(ringEnd + lastSecond.size() - heard + i) % lastSecond.size()];
    }
    double sum = 0.0;
    for (float sample : recent) {
        sum += static_cast<double>(sample) * sample;
    }
    double rms = heard ? std::sqrt(sum / heard) : 0.0;
    return {{"microphone",
             {{"packets", packets},
              {"rejected", rejected},
              {"rms", std::round(rms * 10000.0) / 10000.0},
              {"dominantHz", std::round(dominantFrequency(recent, sampleRate))}}}};
}

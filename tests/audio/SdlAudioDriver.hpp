#pragma once

#include <SDL.h>
#include <gtest/gtest.h>
#include <opus.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <numbers>
#include <thread>
#include <vector>

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

struct OpusEncoderDeleter {
    void operator()(OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }
};
struct OpusDecoderDeleter {
    void operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }
};

// Real packets for the player: 20 ms of a stereo 440 Hz tone each.
inline std::vector<std::vector<unsigned char>> encodeStereoTone(int packets) {
    int error = 0;
    std::unique_ptr<OpusEncoder, OpusEncoderDeleter> encoder(
        opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error));
    std::vector<std::vector<unsigned char>> result;
    std::vector<float> pcm(960 * 2);
    int t = 0;
    for (int p = 0; p < packets; ++p) {
        for (int i = 0; i < 960; ++i, ++t) {
            const float v = 0.3f * std::sin(2.0 * std::numbers::pi * 440.0 * t / 48000.0);
            pcm[2 * i] = v;
            pcm[2 * i + 1] = v;
        }
        std::vector<unsigned char> packet(4000);
        const int n = opus_encode_float(encoder.get(), pcm.data(), 960, packet.data(), 4000);
        packet.resize(n > 0 ? n : 0);
        result.push_back(packet);
    }
    return result;
}

// Polls until the condition holds or the deadline passes.
inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

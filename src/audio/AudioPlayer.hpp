#pragma once

#include <opus.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/SdlAudioDevice.hpp"

// Plays the game's Opus audio through an SDL playback device in queue mode. At most about
// 200 ms may wait in the device queue: beyond that the backlog is thrown away, so the sound
// never drifts behind the picture.
class AudioPlayer {
  public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;
    static constexpr int deviceBufferFrames = 960;
    static constexpr int maxPacketFrames = 5760;
    static constexpr std::uint32_t queueCapBytes = 76800;

    // outputDeviceName: the saved device name, empty for the system default. A saved device
    // that cannot be opened falls back to the default. Throws std::runtime_error when no
    // device or no decoder can be had.
    explicit AudioPlayer(const std::string& outputDeviceName);
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Decodes one packet and queues its samples. False when the packet does not decode or
    // SDL refuses the samples. Called on an engine thread: never throws.
    bool playPacket(const unsigned char* packet, std::size_t length) noexcept;

    SDL_AudioDeviceID deviceId() const { return device.id(); }

  private:
    struct DecoderDeleter {
        void operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }
    };

    // Declared before the device: created first, freed last.
    std::unique_ptr<OpusDecoder, DecoderDeleter> decoder;
    SdlAudioDevice device;
};

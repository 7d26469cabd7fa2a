#include "audio/AudioPlayer.hpp"

#include <limits>
#include <stdexcept>
#include <vector>

namespace {

SDL_AudioSpec playbackFormat() {
    SDL_AudioSpec wanted{};
    wanted.freq = AudioPlayer::sampleRate;
    wanted.format = AUDIO_F32;
    wanted.channels = AudioPlayer::channels;
    wanted.samples = AudioPlayer::deviceBufferFrames;
    return wanted;
}

}  // namespace

AudioPlayer::AudioPlayer(const std::string& outputDeviceName) {
    int error = OPUS_OK;
    decoder.reset(opus_decoder_create(sampleRate, channels, &error));
    if (!decoder || error != OPUS_OK) {
        throw std::runtime_error("Opus decoder unavailable");
    }

    // No allowed changes: SDL converts to the hardware's format, we always queue ours.
    const SDL_AudioSpec wanted = playbackFormat();
    device = SdlAudioDevice(outputDeviceName, false, wanted);
    if (!device && !outputDeviceName.empty()) {
        // The saved device may have been unplugged since it was chosen.
        device = SdlAudioDevice(std::string(), false, wanted);
    }
    if (!device) {
        const std::string reason = SDL_GetError();
        decoder.reset();
        throw std::runtime_error(reason);
    }
    SDL_PauseAudioDevice(device.id(), 0);
}

bool AudioPlayer::playPacket(const unsigned char* packet, std::size_t length) noexcept {
    // Opus treats an empty packet as a lost one and would conceal a whole 120 ms with
    // invented sound; a packet with nothing in it is simply not playable.
    if (packet == nullptr || length == 0 ||
        length > static_cast<std::size_t>(std::numeric_limits<opus_int32>::max())) {
        return false;
    }
    try {
        std::vector<float> samples(static_cast<std::size_t>(maxPacketFrames) * channels);
        const int frames = opus_decode_float(decoder.get(), packet, static_cast<opus_int32>(length),
                                             samples.data(), maxPacketFrames, 0);
        if (frames <= 0) {
            return false;
        }
        if (SDL_GetQueuedAudioSize(device.id()) > queueCapBytes) {
            SDL_ClearQueuedAudio(device.id());
        }
        const auto bytes = static_cast<Uint32>(frames) * channels * sizeof(float);
        return SDL_QueueAudio(device.id(), samples.data(), bytes) == 0;
    } catch (...) {
        return false;
    }
}

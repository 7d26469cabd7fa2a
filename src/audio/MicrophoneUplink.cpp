#include "audio/MicrophoneUplink.hpp"

#include <chrono>
#include <stdexcept>
#include <vector>

MicrophoneUplink::MicrophoneUplink(const std::string& deviceName) {
    SDL_AudioSpec wanted{};
    wanted.freq = sampleRate;
    wanted.format = AUDIO_F32;
    wanted.channels = 1;
    wanted.samples = frameSamples;
    device = SdlAudioDevice(deviceName, true, wanted);
    if (!device) {
        throw std::runtime_error(SDL_GetError());
    }

    int error = OPUS_OK;
    encoder.reset(opus_encoder_create(sampleRate, 1, OPUS_APPLICATION_VOIP, &error));
    if (!encoder || error != OPUS_OK) {
        device = SdlAudioDevice();
        throw std::runtime_error("Opus microphone encoder unavailable");
    }
    opus_encoder_ctl(encoder.get(), OPUS_SET_BITRATE(bitrate));
    opus_encoder_ctl(encoder.get(), OPUS_SET_COMPLEXITY(complexity));
}

MicrophoneUplink::~MicrophoneUplink() {
    stop();
}

void MicrophoneUplink::start(PacketSink sink) {
    if (running.load()) {
        return;
    }
    // A loop that ended on its own (it failed) still has to be joined before a new one.
    if (captureThread.joinable()) {
        captureThread.join();
    }
    packetSink = std::move(sink);
    running.store(true);
    SDL_PauseAudioDevice(device.id(), 0);
    try {
        captureThread = std::thread([this] { captureLoop(); });
    } catch (...) {
        running.store(false);
        SDL_PauseAudioDevice(device.id(), 1);
        throw;
    }
}

void MicrophoneUplink::stop() {
    running.store(false);
    if (device) {
        SDL_PauseAudioDevice(device.id(), 1);
    }
    if (captureThread.joinable()) {
        captureThread.join();
    }
}

void MicrophoneUplink::captureLoop() {
    // Nothing may escape a thread function; a frame that fails in any way is dropped.
    try {
        std::vector<float> samples(frameSamples);
        std::vector<unsigned char> packet(maxPacketBytes);
        while (running.load()) {
            if (SDL_GetQueuedAudioSize(device.id()) < frameBytes) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            if (SDL_DequeueAudio(device.id(), samples.data(), frameBytes) != frameBytes) {
                continue;
            }
            const opus_int32 length = opus_encode_float(encoder.get(), samples.data(), frameSamples,
                                                        packet.data(), maxPacketBytes);
            if (length <= 0 || !packetSink) {
                continue;
            }
            try {
                packetSink(std::span<const unsigned char>(packet.data(),
                                                          static_cast<std::size_t>(length)));
            } catch (...) {
            }
        }
    } catch (...) {
        running.store(false);
    }
}

std::unique_ptr<MicrophoneUplink> openSavedMicrophone(const std::string& savedName, EventLog& log) {
    if (savedName.empty()) {
        return nullptr;
    }
    try {
        auto microphone = std::make_unique<MicrophoneUplink>(savedName);
        log.write("microphone=" + savedName);
        return microphone;
    } catch (const std::exception& error) {
        log.write(std::string("microphone_error=") + error.what());
        return nullptr;
    }
}

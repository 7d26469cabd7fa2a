#pragma once

#include <opus.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <thread>

#include "audio/SdlAudioDevice.hpp"
#include "base/EventLog.hpp"

// Captures the user's microphone, 20 ms of mono audio at a time, encodes it with Opus and
// hands every packet to a sink. The device stays paused until start.
class MicrophoneUplink {
  public:
    using PacketSink = std::function<void(std::span<const unsigned char> packet)>;

    static constexpr int sampleRate = 48000;
    static constexpr int frameSamples = 960;
    static constexpr std::uint32_t frameBytes = frameSamples * sizeof(float);
    static constexpr int maxPacketBytes = 4000;
    static constexpr int bitrate = 32000;
    static constexpr int complexity = 5;

    // deviceName: the capture device (UTF-8); empty opens SDL's default. No fallback: a
    // device that cannot be opened throws std::runtime_error with SDL's text.
    explicit MicrophoneUplink(const std::string& deviceName);
    ~MicrophoneUplink();
    MicrophoneUplink(const MicrophoneUplink&) = delete;
    MicrophoneUplink& operator=(const MicrophoneUplink&) = delete;

    // Starts capturing on a thread of its own. While already running the call does nothing
    // and the given sink is dropped. The sink runs on the capture thread.
    void start(PacketSink sink);
    // Stops capturing and joins the thread. Harmless when not running.
    void stop();

    bool isRunning() const { return running.load(); }

  private:
    struct EncoderDeleter {
        void operator()(OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }
    };

    void captureLoop();

    SdlAudioDevice device;
    std::unique_ptr<OpusEncoder, EncoderDeleter> encoder;
    PacketSink packetSink;
    std::atomic<bool> running{false};
    std::thread captureThread;
};

// The start-up step for the optional microphone: nothing for an empty saved name; otherwise
// the opened microphone, or nothing when it cannot be opened. Either outcome is logged and
// the client goes on without a microphone.
std::unique_ptr<MicrophoneUplink> openSavedMicrophone(const std::string& savedName, EventLog& log);

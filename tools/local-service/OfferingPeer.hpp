#pragma once

// The stand-in service's side of a game session: a GStreamer webrtcbin peer that offers a
// game stream (video, audio, the three data channels) to one viewer. The HTTP side turns
// its description and candidates into numbered signaling events and feeds the viewer's
// answer and candidates back in.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "NetworkImpairment.hpp"
#include "SceneState.hpp"

struct OfferingPeerOptions {
    bool hevc = false;
    int width = 1280;
    int height = 720;
    int fps = 60;
    std::uint64_t bitrate = 8'000'000;  // bits per second
    // Stream this Annex B file in a loop instead of encoding a scene.
    std::string videoFile;
    // Gather candidates on this address only.
    std::string bindAddress = "127.0.0.1";
    NetworkImpairment impairment;
};

struct OfferingPeerCallbacks {
    // type is "offer"; sdp the whole description.
    std::function<void(const std::string& type, const std::string& sdp)> onLocalDescription;
    // mid is absent for some candidates on purpose: viewers must default it.
    std::function<void(const std::string& candidate, const std::optional<std::string>& mid)>
        onLocalCandidate;
    // Numbers as the viewer's: 0 new, 1 connecting, 2 connected, 3 disconnected, 4 failed,
    // 5 closed.
    std::function<void(int state)> onStateChange;
    std::function<void(const std::string& label, const std::string& text)> onTextMessage;
    std::function<void(const std::string& label, const std::vector<std::uint8_t>& data)>
        onBinaryMessage;
    std::function<void(const std::string& label)> onChannelOpen;
    // The viewer asked for a key frame (PLI); count is the total so far.
    std::function<void(std::uint64_t count)> onKeyFrameForced;
};

class OfferingPeer {
  public:
    // Starts the media and creates the offer; the callbacks may run on GStreamer threads.
    OfferingPeer(OfferingPeerOptions options, OfferingPeerCallbacks callbacks);
    ~OfferingPeer();  // closes; no callback runs after it returns
    OfferingPeer(const OfferingPeer&) = delete;
    OfferingPeer& operator=(const OfferingPeer&) = delete;

    // Throws std::runtime_error when the answer cannot be applied.
    void setRemoteAnswer(const std::string& sdp);
    // Only loopback candidates are used; others are ignored and false is returned.
    bool addRemoteCandidate(const std::string& candidate, const std::string& mid);
    // Changes the encoder's target bitrate while streaming.
    void setBitrate(std::uint64_t bitsPerSecond);
    bool sendText(const std::string& label, const std::string& text);
    bool sendBinary(const std::string& label, const std::vector<std::uint8_t>& data);
    // Closes one data channel while the rest of the session goes on; false if not open.
    bool closeChannel(const std::string& label);
    // Redraws the encoded scene; nothing to do when streaming a file.
    void showScene(const SceneState& scene);
    // Key frames forced so far, by PLI from the viewer or on request.
    std::uint64_t keyFramesForced() const;
    void close();

  private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

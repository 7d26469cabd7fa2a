#pragma once

// The client's WebRTC engine, behind a small interface of its own. The rest of the client
// sees only these types; the engine underneath (GStreamer's webrtcbin) stays inside
// src/rtc/. No GStreamer or GLib header may be included from here.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "base/Bytes.hpp"

namespace rtc {

using std::byte;
using binary = Bytes;
using message_variant = std::variant<binary, std::string>;

// One STUN or TURN server. Accepts "stun:host[:port]", "stuns:host[:port]",
// "turn:host[:port][?transport=udp|tcp]" and "turns:host[:port][?transport=tcp]", optionally
// with "user:password@" before the host. Throws std::invalid_argument for anything else.
struct IceServer {
    enum class Type { Stun, Turn };
    enum class RelayType { TurnUdp, TurnTcp, TurnTls };

    explicit IceServer(const std::string& url);

    std::string hostname;
    std::uint16_t port = 3478;
    Type type = Type::Stun;
    std::string username;
    std::string password;
    RelayType relayType = RelayType::TurnUdp;
    bool secure = false;  // "stuns:" or "turns:": TLS to the server
};

// Which video codec the answer accepts. It must be known before the offer is applied: the
// engine picks the answer's codec while it takes the offer, not when a track is handled.
enum class VideoCodec { H264, H265 };

struct Configuration {
    std::vector<IceServer> iceServers;
    VideoCodec videoCodec = VideoCodec::H264;
    // Also gather host candidates on this address, which the engine leaves out by itself
    // (loopback, for a service on this machine), besides every interface it gathers on.
    std::optional<std::string> alsoGatherOn;
    // Gather on this address only (tests and the stand-in service keep to "127.0.0.1").
    std::optional<std::string> bindAddress;
};

class Description {
  public:
    enum class Type { Unspec, Offer, Answer, Pranswer, Rollback };

    // sdp: the whole session description; typeString: "offer", "answer", "pranswer" or
    // "rollback". Throws std::invalid_argument for an unknown type or text that is not SDP.
    Description(const std::string& sdp, const std::string& typeString);

    Type type() const { return descriptionType; }
    std::string typeString() const;
    operator std::string() const { return sdp; }

  private:
    std::string sdp;
    Type descriptionType;
};

class Candidate {
  public:
    // candidate: "candidate:..." with or without a leading "a="; mid: the media id it
    // belongs to.
    Candidate(std::string candidate, std::string mid);

    std::string candidate() const { return text; }
    std::string mid() const { return mediaId; }
    operator std::string() const { return text; }

  private:
    std::string text;  // always without "a="
    std::string mediaId;
};

struct FrameInfo {
    std::uint32_t timestamp = 0;  // the frame's RTP timestamp
    std::uint8_t payloadType = 0;
    // A packet of the frame never arrived: lost, and not brought back by retransmission in
    // time (or retransmission was not negotiated). Its picture will be damaged.
    bool damaged = false;
    // The frame's packets added up to more than RtpDepacketizer::maxFrameBytes: it was
    // dropped before it was put together, and the data is empty.
    bool oversized = false;
    // When the last of its packets that came at the first go reached the receiver, before any
    // wait for a retransmission; none when that is not known.
    std::optional<std::chrono::steady_clock::time_point> arrival;
};

// What a receiving track has seen of its RTP packets; running totals since it started.
struct ReceiveStats {
    std::uint64_t packetsLost = 0;           // missing on first arrival, repaired or not
    std::uint64_t packetsOutOfOrder = 0;     // arrived after a later one: late, not lost
    std::uint64_t packetsRetransmitted = 0;  // lost ones that retransmission brought back
    double roundTripMs = 0;                  // the latest estimate; 0 while unknown
    bool retransmission = false;             // the sender offered it and the answer took it
};

struct NalUnit {
    enum class Separator : std::uint8_t {
        Length = 0,
        LongStartSequence = 1,   // 00 00 00 01 before every NAL unit
        ShortStartSequence = 2,  // 00 00 01
        StartSequence = 3,
    };
};

// What a track does with its RTP packets. A track without a handler delivers nothing.
class MediaHandler {
  public:
    virtual ~MediaHandler() = default;
};

// Turns RTP packets into frames, one packet payload per frame (Opus).
class RtpDepacketizer : public MediaHandler {
  public:
    // Far above any frame a game stream sends (a 4K key frame at a high rate is a few MB),
    // low enough that a sender that never ends a frame cannot fill the memory with it.
    static constexpr std::size_t maxFrameBytes = 8 * 1024 * 1024;

    explicit RtpDepacketizer(std::uint32_t clockRate = 90000) : clockRate(clockRate) {}
    const std::uint32_t clockRate;
};

// One access unit per frame, each NAL unit preceded by the chosen separator.
class H264RtpDepacketizer : public RtpDepacketizer {
  public:
    explicit H264RtpDepacketizer(
        NalUnit::Separator separator = NalUnit::Separator::LongStartSequence)
        : separator(separator) {}
    const NalUnit::Separator separator;
};

class H265RtpDepacketizer : public RtpDepacketizer {
  public:
    explicit H265RtpDepacketizer(
        NalUnit::Separator separator = NalUnit::Separator::LongStartSequence)
        : separator(separator) {}
    const NalUnit::Separator separator;
};

class Track {
  public:
    class Impl;
    explicit Track(std::shared_ptr<Impl> impl);
    ~Track();

    std::string mid() const;
    // The media type of the track's section: "audio" or "video".
    std::string kind() const;
    // Only effective when called from the onTrack callback, before it returns.
    void setMediaHandler(std::shared_ptr<MediaHandler> handler);
    void onFrame(std::function<void(binary data, FrameInfo info)> callback);
    // Asks the sender for a key frame (RTCP PLI). Returns false when the track cannot.
    bool requestKeyframe();
    // Any thread; cheap enough to call once per frame.
    ReceiveStats receiveStats() const;

  private:
    std::shared_ptr<Impl> impl;
};

class DataChannel {
  public:
    class Impl;
    explicit DataChannel(std::shared_ptr<Impl> impl);
    ~DataChannel();

    std::string label() const;
    bool isOpen() const;
    bool isClosed() const;
    // Bytes handed to send that have not left for the network yet.
    std::size_t bufferedAmount() const;
    // A std::string goes as a text message, a binary as a binary message.
    bool send(message_variant data);
    bool send(const byte* data, std::size_t size);
    void close();

    // onOpen also fires at once when registered on a channel that is already open.
    void onOpen(std::function<void()> callback);
    void onClosed(std::function<void()> callback);
    void onMessage(std::function<void(message_variant data)> callback);

  private:
    std::shared_ptr<Impl> impl;
};

class PeerConnection {
  public:
    class Impl;

    // A connected peer from which nothing arrives for this long is taken for gone
    // (Disconnected).
    static constexpr std::chrono::seconds silenceLimit{10};

    enum class State : int {
        New = 0,
        Connecting = 1,
        Connected = 2,
        Disconnected = 3,
        Failed = 4,
        Closed = 5,
    };

    // Creates a connection on the engine.
    explicit PeerConnection(Configuration config = {});
    // Runs on the given implementation (tests pair the client's code with fakes).
    explicit PeerConnection(std::shared_ptr<Impl> impl);
    ~PeerConnection();  // closes
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    // Ends the connection. No callback runs once close has returned; never hangs.
    void close();

    // An applied offer makes the connection create and set its answer by itself, which
    // then reaches onLocalDescription, followed by the local candidates.
    // Throws std::invalid_argument or std::runtime_error when the engine refuses it.
    void setRemoteDescription(Description description);
    void addRemoteCandidate(Candidate candidate);

    State state() const;

    void onLocalDescription(std::function<void(Description description)> callback);
    void onLocalCandidate(std::function<void(Candidate candidate)> callback);
    void onStateChange(std::function<void(State state)> callback);
    void onTrack(std::function<void(std::shared_ptr<Track> track)> callback);
    void onDataChannel(std::function<void(std::shared_ptr<DataChannel> channel)> callback);

  private:
    std::shared_ptr<Impl> impl;
};

// Releases the engine's global resources once no connection is left.
std::shared_future<void> Cleanup();

}  // namespace rtc

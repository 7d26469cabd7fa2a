#pragma once

#include <atomic>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/Bytes.hpp"
#include "base/EncodedFrame.hpp"
#include "base/EventLog.hpp"
#include "base/StreamStats.hpp"
#include "rtc/rtc.hpp"

// Whether a track is the audio or the video. The mids "audio" and "video" (exactly) decide;
// a section named otherwise ("0", "1") goes by its media kind, and anything else is video.
enum class TrackRole { Audio, Video };
TrackRole trackRole(const std::string& mid, const std::string& kind);

// The connection's track callback. The audio track feeds the audio player packet by packet;
// the video track feeds the frame sink one access unit at a time, with 4-byte start codes, in
// the codec the client asked for. The first track of each role is kept; a later one is left
// alone, so a live track is never replaced.
//
// Keeps both tracks (and with them their depacketizers and callbacks) until it is destroyed,
// which must happen after the connection is closed.
class TrackHandler {
  public:
    // Decodes and queues one Opus packet; false when it could not.
    using PlayPacket = std::function<bool(const std::byte* data, std::size_t size)>;
    // Takes one encoded access unit, stamped with its arrival.
    using VideoSink = std::function<void(EncodedFrame frame)>;

    TrackHandler(EventLog& log, StreamStats& stats, VideoSink videoSink, bool codecIsHevc,
                 PlayPacket playPacket);

    // Registers operator() as the connection's track callback.
    void attach(rtc::PeerConnection& peer);

    void operator()(std::shared_ptr<rtc::Track> track);

    std::shared_ptr<rtc::Track> audioTrack() const;
    std::shared_ptr<rtc::Track> videoTrack() const;

    // Asks the video sender for a key frame, e.g. after the queue dropped a frame. False when
    // there is no video track yet or it cannot ask. Callers limit the rate.
    bool requestKeyframe();
    // What the video track has seen of its packets; all zero before it arrives.
    rtc::ReceiveStats videoReceiveStats() const;

    // Lets go of both tracks; called at shutdown once the connection is closed.
    void release();

  private:
    void attachAudio(rtc::Track& track);
    void attachVideo(rtc::Track& track);
    // A frame over the size bound: logged the first time, and a key frame asked for.
    void dropOversizedFrame(EncodedFrame::Clock::time_point now);

    EventLog& log;
    StreamStats& stats;
    VideoSink videoSink;
    const bool codecIsHevc;
    PlayPacket playPacket;

    // The slots are written on the engine's thread and read by the main thread.
    mutable std::mutex slotsMutex;
    std::shared_ptr<rtc::Track> audio;
    std::shared_ptr<rtc::Track> video;

    static constexpr std::int64_t noRequestYet = INT64_MIN;
    std::atomic<std::int64_t> lastOversizedRequestNs{noRequestYet};
};

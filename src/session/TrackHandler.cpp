#include "session/TrackHandler.hpp"

#include <exception>

#include "session/SessionTexts.hpp"

namespace {
constexpr std::uint32_t opusClockRate = 48000;
}

TrackHandler::TrackHandler(EventLog& log, StreamStats& stats, VideoSink videoSink, bool codecIsHevc,
                           PlayPacket playPacket)
    : log(log),
      stats(stats),
      videoSink(std::move(videoSink)),
      codecIsHevc(codecIsHevc),
      playPacket(std::move(playPacket)) {}

void TrackHandler::attach(rtc::PeerConnection& peer) {
    peer.onTrack([this](std::shared_ptr<rtc::Track> track) { (*this)(std::move(track)); });
}

TrackRole trackRole(const std::string& mid, const std::string& kind) {
    if (mid == "audio" || mid == "video") {
        return mid == "audio" ? TrackRole::Audio : TrackRole::Video;
    }
    return kind == "audio" ? TrackRole::Audio : TrackRole::Video;
}

void TrackHandler::operator()(std::shared_ptr<rtc::Track> track) {
    const bool isAudio = trackRole(track->mid(), track->kind()) == TrackRole::Audio;
    {
        std::lock_guard lock(slotsMutex);
        auto& slot = isAudio ? audio : video;
        if (slot) {
            return;
        }
        slot = track;
    }
    if (isAudio) {
        log.write(sessionText::audioTrackLog);
        attachAudio(*track);
    } else {
        log.write(sessionText::videoTrackLog);
        attachVideo(*track);
    }
}

void TrackHandler::attachAudio(rtc::Track& track) {
    track.setMediaHandler(std::make_shared<rtc::RtpDepacketizer>(opusClockRate));
    track.onFrame([this](rtc::binary packet, rtc::FrameInfo) {
        bool played = false;
        try {
            played = playPacket(packet.data(), packet.size());
        } catch (const std::exception&) {
            // The engine's thread must not unwind; a packet that throws is a failed packet.
        }
        (played ? stats.audioPacketsPlayed : stats.audioErrors).fetch_add(1);
    });
}

void TrackHandler::attachVideo(rtc::Track& track) {
    constexpr auto separator = rtc::NalUnit::Separator::LongStartSequence;
    if (codecIsHevc) {
        track.setMediaHandler(std::make_shared<rtc::H265RtpDepacketizer>(separator));
    } else {
        track.setMediaHandler(std::make_shared<rtc::H264RtpDepacketizer>(separator));
    }
    // The sink counts the frame (received, bytes, dropped) itself.
    track.onFrame([this](rtc::binary frame, rtc::FrameInfo info) {
        const auto now = EncodedFrame::Clock::now();
        if (info.oversized) {
            dropOversizedFrame(now);
            return;
        }
        videoSink(EncodedFrame{std::move(frame), info.timestamp, info.damaged, now,
                               info.arrival.value_or(EncodedFrame::Clock::time_point{})});
    });
}

void TrackHandler::dropOversizedFrame(EncodedFrame::Clock::time_point now) {
    const std::int64_t nowNs = now.time_since_epoch() / std::chrono::nanoseconds(1);
    std::int64_t last = lastOversizedRequestNs.load();
    if (last == noRequestYet) {
        log.write("video_error=frame larger than " +
                  std::to_string(rtc::RtpDepacketizer::maxFrameBytes) + " bytes dropped");
    }
    // The frames after it lack it; a sender that keeps sending such frames is asked once a
    // second at most.
    if ((last == noRequestYet ||
         nowNs - last >= std::chrono::nanoseconds(std::chrono::seconds(1)).count()) &&
        lastOversizedRequestNs.compare_exchange_strong(last, nowNs)) {
        requestKeyframe();
    }
}

std::shared_ptr<rtc::Track> TrackHandler::audioTrack() const {
    std::lock_guard lock(slotsMutex);
    return audio;
}

std::shared_ptr<rtc::Track> TrackHandler::videoTrack() const {
    std::lock_guard lock(slotsMutex);
    return video;
}

bool TrackHandler::requestKeyframe() {
    auto track = videoTrack();
    return track && track->requestKeyframe();
}

rtc::ReceiveStats TrackHandler::videoReceiveStats() const {
    auto track = videoTrack();
    return track ? track->receiveStats() : rtc::ReceiveStats{};
}

void TrackHandler::release() {
    std::lock_guard lock(slotsMutex);
    audio.reset();
    video.reset();
}

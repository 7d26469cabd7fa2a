#pragma once

// Every console and log text of the WebRTC session, in one place so they are easy to check.
namespace sessionText {

// Console
inline constexpr const char* peerStatePrefix = "Peer state: ";      // standard output
inline constexpr const char* signalingErrorPrefix = "Signaling: ";  // standard error, poller

// Log
inline constexpr const char* peerStateLog = "peer_state=";
inline constexpr const char* uplinkErrorLog = "signaling_error=";
inline constexpr const char* audioTrackLog = "audio_track_received";
inline constexpr const char* videoTrackLog = "video_track_received";

}  // namespace sessionText

#pragma once

// Keeps the service's WebRTC traffic on this machine's loopback: only candidates on
// 127.0.0.0/8 or ::1 are ever handed to the offering peer.

#include <string>

// candidate is an ICE candidate line, with or without a leading "a=" or "candidate:".
bool isLoopbackCandidate(const std::string& candidate);

// The SDP with every candidate line that is not on loopback removed.
std::string withoutForeignCandidates(const std::string& sdp);

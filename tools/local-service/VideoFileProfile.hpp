#pragma once

// Whether a standard WebRTC receiver (a browser) can take a recorded H.264 stream. The offer
// names the profile of the file's first sequence parameter set, and browsers receive only
// Baseline, Constrained Baseline and Main: an offer of High matches none of their formats,
// and their answer takes no video at all.

#include <optional>
#include <string>

// A warning naming the file's profile when a browser would refuse it; nothing when it takes
// it, or when the file holds no H.264 sequence parameter set near its start.
std::optional<std::string> browserProfileWarning(const std::string& path);

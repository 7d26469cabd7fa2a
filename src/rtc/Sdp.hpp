#pragma once

// Session description text helpers the engine needs before handing an offer on.

#include <optional>
#include <string>
#include <vector>

namespace rtc::sdp {

struct Media {
    std::string kind;  // "audio", "video", "application", ...
    std::string mid;   // empty when the section has none
};

// The m-sections in order. Throws std::invalid_argument when the text is not a session
// description (no "v=" line first, or no m-section) or holds a NUL byte.
std::vector<Media> listMedia(const std::string& sdp);

// Rewrites every bundled m-section to carry the ICE user fragment and password of the bundle's
// first section. Sections outside the bundle and texts without a bundle are returned as they are.
std::string unifyBundleCredentials(const std::string& sdp);

// Where a remote candidate goes: the index of the m-section whose mid it names, and its text
// as the engine takes it (empty for the end of candidates).
struct RemoteCandidate {
    unsigned mline = 0;
    std::string text;
};

// Checks a remote candidate against the applied offer's sections. Throws
// std::invalid_argument for an unknown media id or a text that is not a candidate line.
RemoteCandidate placeRemoteCandidate(const std::vector<Media>& media, const std::string& mid,
                                     const std::string& text);

}  // namespace rtc::sdp

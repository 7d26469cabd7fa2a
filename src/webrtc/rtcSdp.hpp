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
// description (no "v=" line first, or no m-section).
std::vector<Media> listMedia(const std::string& sdp);

// Rewrites every bundled m-section to carry the ICE user fragment and password of the bundle's
// first section. Sections outside the bundle and texts without a bundle are returned as they are.
std::string unifyBundleCredentials(const std::string& sdp);

}  // namespace rtc::sdp

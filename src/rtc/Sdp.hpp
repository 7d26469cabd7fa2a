#pragma once

// Session description text helpers the engine needs before handing an offer on.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "rtc/DtlsFingerprint.hpp"

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

// The offer as the engine is given it: only the sections the client uses (the first audio,
// the first video and the first data section), and of those only the ones that share the
// transport of the first, so the engine never makes more than one transport whatever the
// offer holds. Every other section is rejected in the answer.
struct ShapedOffer {
    std::string text;         // the offer for the engine
    std::vector<Media> kept;  // its sections, in order: the engine's m-line indices
    // Every section of the offer, in order: whether it was kept, and for the others the
    // rejected section that takes its place in the answer.
    struct Section {
        Media media;
        bool kept = false;
        std::string rejection;
    };
    std::vector<Section> sections;

    bool rejected(const std::string& mid) const;
};

// Throws std::invalid_argument when no section is one the client uses.
ShapedOffer shapeOffer(const std::string& offer);

// The engine's answer to shaped.text, with a rejected section (port 0) in the place of each
// one the engine never saw, so it answers the whole offer in its order.
std::string completeAnswer(const std::string& engineAnswer, const ShapedOffer& shaped);

// The payload types of the sections a description does not reject (port 0).
std::set<std::uint8_t> payloadTypes(const std::string& sdp);

// Every "a=fingerprint:" of the description, session and media level; the hash name in lower
// case, the digest in upper case.
std::vector<dtls::Fingerprint> fingerprints(const std::string& sdp);

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

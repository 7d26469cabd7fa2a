#pragma once

// webrtcbin completes the DTLS handshake with any certificate: it never compares the peer's
// certificate with the fingerprint the offer announced. Without that check, whoever sits on
// the media path could answer the handshake in the server's place, so the client checks.

#include <string>
#include <vector>

namespace rtc::dtls {

struct Fingerprint {
    std::string hash;    // "sha-256", lower case
    std::string digest;  // upper-case hex pairs joined by ':'
};

// Every "a=fingerprint:" of the description, session and media level.
std::vector<Fingerprint> announced(const std::string& sdp);

// Whether the PEM certificate's digest equals one of the fingerprints (of a hash it knows:
// sha-1, sha-256, sha-384, sha-512).
bool matches(const std::string& pemCertificate, const std::vector<Fingerprint>& fingerprints);

}  // namespace rtc::dtls

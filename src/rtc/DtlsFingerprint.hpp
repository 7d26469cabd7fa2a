#pragma once

// webrtcbin completes the DTLS handshake with any certificate: it never compares the peer's
// certificate with the fingerprint the offer announced. Without that check, whoever sits on
// the media path could answer the handshake in the server's place, so the client checks.

#include <string>
#include <vector>

namespace rtc::dtls {

// As an offer announces it (see sdp::fingerprints).
struct Fingerprint {
    std::string hash;    // "sha-256", lower case
    std::string digest;  // upper-case hex pairs joined by ':'
};

// Whether the PEM certificate's digest equals one of the fingerprints (of a hash it knows:
// sha-1, sha-256, sha-384, sha-512).
bool matches(const std::string& pemCertificate, const std::vector<Fingerprint>& fingerprints);

}  // namespace rtc::dtls

#include "rtc/DtlsFingerprint.hpp"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>

namespace rtc::dtls {
namespace {

std::optional<GChecksumType> checksumType(const std::string& hash) {
    if (hash == "sha-1")
        return G_CHECKSUM_SHA1;
    if (hash == "sha-256")
        return G_CHECKSUM_SHA256;
    if (hash == "sha-384")
        return G_CHECKSUM_SHA384;
    if (hash == "sha-512")
        return G_CHECKSUM_SHA512;
    return std::nullopt;
}

// The DER bytes of the first certificate in PEM text; empty when there is none.
std::string derOf(const std::string& pem) {
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    const auto from = pem.find(begin);
    const auto to = from == std::string::npos ? from : pem.find(end, from);
    if (to == std::string::npos) {
        return {};
    }
    std::string base64;
    for (char c : pem.substr(from + begin.size(), to - from - begin.size())) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            base64 += c;
        }
    }
    gsize length = 0;
    std::unique_ptr<guchar, decltype(&g_free)> der(g_base64_decode(base64.c_str(), &length),
                                                   &g_free);
    return std::string(reinterpret_cast<const char*>(der.get()), length);
}

std::string digestOf(const std::string& der, GChecksumType type) {
    std::unique_ptr<GChecksum, decltype(&g_checksum_free)> checksum(g_checksum_new(type),
                                                                    &g_checksum_free);
    g_checksum_update(checksum.get(), reinterpret_cast<const guchar*>(der.data()),
                      static_cast<gssize>(der.size()));
    std::string bytes(static_cast<std::size_t>(g_checksum_type_get_length(type)), '\0');
    gsize length = bytes.size();
    g_checksum_get_digest(checksum.get(), reinterpret_cast<guint8*>(bytes.data()), &length);
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
        char pair[4];
        std::snprintf(pair, sizeof pair, i ? ":%02X" : "%02X",
                      static_cast<unsigned char>(bytes[i]));
        hex += pair;
    }
    return hex;
}

}  // namespace

bool matches(const std::string& pemCertificate, const std::vector<Fingerprint>& fingerprints) {
    const std::string der = derOf(pemCertificate);
    if (der.empty()) {
        return false;
    }
    return std::any_of(fingerprints.begin(), fingerprints.end(), [&](const Fingerprint& f) {
        const auto type = checksumType(f.hash);
        return type && digestOf(der, *type) == f.digest;
    });
}

}  // namespace rtc::dtls

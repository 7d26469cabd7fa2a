#include "VideoFileProfile.hpp"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

std::optional<std::string> browserProfileWarning(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<char> head(1 << 16);
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(file.gcount()));
    for (std::size_t i = 0; i + 6 < head.size(); ++i) {
        const auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(head[at]); };
        if (byte(i) != 0 || byte(i + 1) != 0 || byte(i + 2) != 1 || (byte(i + 3) & 0x1f) != 7) {
            continue;
        }
        const int profile = byte(i + 4);
        if (profile == 66 || profile == 77) {  // Baseline (constrained or not), Main
            return std::nullopt;
        }
        char id[7];
        std::snprintf(id, sizeof id, "%02x%02x%02x", profile, byte(i + 5), byte(i + 6));
        return "the H.264 profile of " + path + " (profile-level-id " + id +
               ") is not one a browser receives (Baseline or Main); encode it with "
               "-profile:v main for a stream that any WebRTC viewer shows";
    }
    return std::nullopt;
}

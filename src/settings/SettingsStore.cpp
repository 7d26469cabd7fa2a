#include "settings/SettingsStore.hpp"

#include <fstream>
#include <limits>
#include <system_error>

#include "platform/AtomicFile.hpp"
#include "platform/SettingsFolder.hpp"

namespace SettingsStore {

namespace {

std::filesystem::path settingsFile(const std::string& fileName) {
    return settingsDirectory() / fileName;
}

// Binary mode on every platform, with CR LF handled here, so a file reads the same wherever
// it was written. A lone CR at the very end is content, as a Windows text stream keeps it.
bool readFirstLine(const std::string& fileName, std::string& line) {
    std::ifstream in(settingsFile(fileName), std::ios::binary);
    if (!in || !std::getline(in, line)) {
        return false;
    }
    if (!in.eof() && !line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

bool writeValue(const std::string& fileName, const std::string& value) {
    return platform::writeFileAtomically(settingsFile(fileName), value);
}

}  // namespace

std::filesystem::path settingsDirectory() {
    const std::filesystem::path folder = platform::settingsFolder();
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

bool readCodecIsHevc() {
    std::string line;
    return readFirstLine(codecFile, line) && line == "hevc";
}

bool writeCodec(bool hevc) {
    return writeValue(codecFile, hevc ? "hevc" : "h264");
}

std::int32_t readBitrateMbps() {
    std::ifstream in(settingsFile(bitrateFile), std::ios::binary);
    std::int32_t mbps = 0;
    if (in && in >> mbps) {
        return mbps;
    }
    return 0;
}

bool writeBitrateMbps(std::int32_t mbps) {
    return writeValue(bitrateFile, std::to_string(mbps));
}

std::string readDeviceName(const std::string& fileName) {
    std::string line;
    return readFirstLine(fileName, line) ? line : std::string();
}

bool writeDeviceName(const std::string& fileName, const std::string& name) {
    return writeValue(fileName, name);
}

}  // namespace SettingsStore

std::int32_t effectiveBitrateMbps(std::int32_t savedMbps) {
    constexpr std::int32_t largest = std::numeric_limits<std::int32_t>::max() / 1000000;
    return savedMbps < 0 || savedMbps > largest ? 0 : savedMbps;
}

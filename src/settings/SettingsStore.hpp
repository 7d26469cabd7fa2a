#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The user's four preferences, one small file each in the settings folder. Nothing is
// cached: every call resolves the folder, creates it when missing and opens its file anew.
// No operation throws for a missing, unreadable or unwritable file.
namespace SettingsStore {

inline constexpr const char* codecFile = "client-codec.txt";
inline constexpr const char* bitrateFile = "client-bitrate.txt";
inline constexpr const char* outputDeviceFile = "client-output-device.txt";
inline constexpr const char* microphoneDeviceFile = "client-microphone-device.txt";

// The settings folder, created with its parents when missing (a failure shows up later,
// when a file cannot be opened).
std::filesystem::path settingsDirectory();

// True only when the first line is exactly "hevc".
bool readCodecIsHevc();
bool writeCodec(bool hevc);

// The saved number in Mbit/s (0 = automatic); 0 when missing or not a 32-bit number.
std::int32_t readBitrateMbps();
bool writeBitrateMbps(std::int32_t mbps);

// The first line of a device file, empty when missing. Names are UTF-8 bytes as SDL gives them.
std::string readDeviceName(const std::string& fileName);
bool writeDeviceName(const std::string& fileName, const std::string& name);

}  // namespace SettingsStore

// The bitrate setting as the client uses it: a value that is negative or too large to turn
// into bit/s in 32 bits was written by hand and means automatic (0).
std::int32_t effectiveBitrateMbps(std::int32_t savedMbps);

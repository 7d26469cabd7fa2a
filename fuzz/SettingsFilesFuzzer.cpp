// The settings readers on files the fuzzer writes into a settings folder of its own: codec,
// bitrate and the two device names, each present or missing.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <fstream>

#include "ServerReply.hpp"
#include "app/Startup.hpp"
#include "settings/SettingsStore.hpp"

namespace {

void place(const std::filesystem::path& file, bool present, const std::string& content) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    if (present) {
        std::ofstream(file, std::ios::binary) << content;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A folder of this process only; /dev/shm keeps the file churn off the disk.
    char folder[] = "/dev/shm/qv-settings-fuzz-XXXXXX";
    if (!mkdtemp(folder)) {
        std::abort();
    }
    setenv("LOCALAPPDATA", folder, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto present = input.ConsumeIntegral<std::uint8_t>();
    const std::string codec = input.ConsumeRandomLengthString();
    const std::string bitrate = input.ConsumeRandomLengthString();
    const std::string output = input.ConsumeRandomLengthString();
    const std::string microphone = input.ConsumeRemainingBytesAsString();

    const auto folder = SettingsStore::settingsDirectory();
    place(folder / SettingsStore::codecFile, present & 1, codec);
    place(folder / SettingsStore::bitrateFile, present & 2, bitrate);
    place(folder / SettingsStore::outputDeviceFile, present & 4, output);
    place(folder / SettingsStore::microphoneDeviceFile, present & 8, microphone);

    const Preferences preferences = readPreferences();
    const DeviceNames devices = readDeviceNames();
    FUZZ_CHECK(preferences.bitrateMbps >= 0);
    FUZZ_CHECK(devices.output.find('\n') == std::string::npos);
    FUZZ_CHECK(devices.microphone.find('\n') == std::string::npos);
    for (const StreamSize size : {StreamSize{1920, 1080}, StreamSize{3840, 2160}}) {
        const std::uint64_t target = initialTargetBitrate(preferences, size);
        FUZZ_CHECK(target > 0);
        (void)viewportBody(size, preferences).dump();
    }
    return 0;
}

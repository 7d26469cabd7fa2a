#include "platform/SettingsFolder.hpp"

#include <windows.h>

#include <string>
#include <system_error>

namespace platform {

namespace {

std::wstring environmentVariable(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    while (size > 0) {
        std::wstring value(size, L'\0');
        const DWORD written = GetEnvironmentVariableW(name, value.data(), size);
        if (written < size) {
            value.resize(written);
            return value;
        }
        size = written;  // the variable grew in between
    }
    return {};
}

}  // namespace

std::filesystem::path settingsFolder() {
    const std::filesystem::path name = L"Quorvanta";
    const std::wstring localAppData = environmentVariable(L"LOCALAPPDATA");
    if (!localAppData.empty()) {
        return std::filesystem::path(localAppData) / name;
    }
    std::error_code error;
    std::filesystem::path current = std::filesystem::current_path(error);
    return (error ? std::filesystem::path() : current) / name;
}

}  // namespace platform

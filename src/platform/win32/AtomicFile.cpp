#include "platform/AtomicFile.hpp"

#include <windows.h>

#include <string>

namespace platform {

bool writeFileAtomically(const std::filesystem::path& target, std::string_view content) {
    const std::wstring temporary = target.wstring() + L".tmp" +
                                   std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(GetTickCount64());
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool ok = true;
    while (ok && !content.empty()) {
        DWORD written = 0;
        const DWORD chunk =
            content.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(content.size());
        ok = WriteFile(file, content.data(), chunk, &written, nullptr) && written > 0;
        content.remove_prefix(written);
    }
    ok = ok && FlushFileBuffers(file);
    ok = CloseHandle(file) && ok;
    ok = ok && MoveFileExW(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        DeleteFileW(temporary.c_str());
    }
    return ok;
}

}  // namespace platform

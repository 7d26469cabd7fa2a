#include "platform/MessageBox.hpp"

#include <windows.h>

#include <cwchar>

#include "base/SafeText.hpp"
#include "platform/win32/WideText.hpp"

void showMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
    const UINT style = MB_OK | (icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONINFORMATION);
    // Texts may carry what a server sent; bounded and cleaned they cannot break the box.
    MessageBoxW(nullptr, widenUtf8(messageBoxText(text)).c_str(),
                widenUtf8(messageBoxText(title)).c_str(), style);
}

namespace {

// A message box is a dialog of the system's class "#32770"; WM_CLOSE ends one with an OK button.
BOOL CALLBACK closeIfOwnBox(HWND window, LPARAM) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    wchar_t className[16] = {};
    if (process == GetCurrentProcessId() && GetClassNameW(window, className, 16) > 0 &&
        std::wcscmp(className, L"#32770") == 0) {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

}  // namespace

void closeMessageBoxes() {
    EnumWindows(closeIfOwnBox, 0);
}

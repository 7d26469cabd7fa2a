#include "platform/MessageBox.hpp"

#include <windows.h>

#include "platform/win32/WideText.hpp"

void showMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
    const UINT style = MB_OK | (icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONINFORMATION);
    MessageBoxW(nullptr, widenUtf8(text).c_str(), widenUtf8(title).c_str(), style);
}

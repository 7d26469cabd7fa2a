#include "platform/MessageBox.hpp"

#include <windows.h>

#include "base/SafeText.hpp"
#include "platform/win32/WideText.hpp"

void showMessageBox(const std::string& title, const std::string& text, MessageIcon icon) {
    const UINT style = MB_OK | (icon == MessageIcon::Error ? MB_ICONERROR : MB_ICONINFORMATION);
    // Texts may carry what a server sent; bounded and cleaned they cannot break the box.
    MessageBoxW(nullptr, widenUtf8(messageBoxText(text)).c_str(),
                widenUtf8(messageBoxText(title)).c_str(), style);
}

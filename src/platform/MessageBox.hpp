#pragma once

#include <string>

enum class MessageIcon { Information, Error };

// A modal box with an OK button and no owner window. Title and text are UTF-8.
void showMessageBox(const std::string& title, const std::string& text, MessageIcon icon);

// Closes every box showMessageBox has open, as if it had been dismissed, so that the thread
// showing it goes on. Any thread may call it; it is meant for the client's stop.
void closeMessageBoxes();

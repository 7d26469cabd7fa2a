#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text that comes from outside (HTTP bodies in error messages, data channel labels) made safe
// for where the client shows it: a terminal or log line it cannot split or steer, a message
// box it cannot break.

// One step through UTF-8: a whole well-formed character, or the longest prefix of one that is
// ill-formed (at least one byte, so a scan always moves on).
struct Utf8Step {
    std::size_t length = 0;
    char32_t codePoint = 0;  // U+FFFD when not valid
    bool valid = false;
};
Utf8Step nextUtf8(std::string_view bytes);

// The bytes as UTF-8 that a message box can show: each invalid sequence (and NUL, which would
// cut the text short) becomes U+FFFD.
std::string toValidUtf8(std::string_view bytes);

// Longest line printableLine keeps, in bytes of the input; the rest is cut and counted.
inline constexpr std::size_t printableLineLimit = 2048;

// One line for the log or the console. Well-formed printable UTF-8 stays as it is; each byte of
// a control character (line breaks and escape sequences included) or of an invalid sequence
// becomes \xNN. Past printableLineLimit the line is cut and ends in "... (N more bytes)".
std::string printableLine(std::string_view text);

// Bounds for message box texts: a box taller or wider than the screen hides its OK button.
inline constexpr std::size_t messageBoxLineLength = 120;  // characters, longer lines wrap
inline constexpr std::size_t messageBoxLines = 30;

// Text for a message box: valid UTF-8; line breaks kept (CR LF becomes LF), a tab becomes a
// space, other control, line-separator and direction-override characters become U+FFFD; long
// lines are wrapped and past messageBoxLines lines the text is cut, ending in "…".
std::string messageBoxText(std::string_view text);

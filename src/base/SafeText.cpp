#include "base/SafeText.hpp"

#include <algorithm>

namespace {

constexpr const char* replacementCharacter = "\xEF\xBF\xBD";

bool isControl(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Characters that reorder or break the text around them without being control characters.
bool isLayoutControl(char32_t c) {
    return c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

void appendHexBytes(std::string& out, std::string_view bytes) {
    constexpr const char* digits = "0123456789ABCDEF";
    for (const char b : bytes) {
        const auto value = static_cast<unsigned char>(b);
        out += "\\x";
        out += digits[value >> 4];
        out += digits[value & 0xF];
    }
}

}  // namespace

Utf8Step nextUtf8(std::string_view bytes) {
    if (bytes.empty()) {
        return {};
    }
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80) {
        return {1, lead, true};
    }
    // Length and the allowed range of the second byte, which rules out overlong forms,
    // surrogates and values past U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    char32_t value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
        value = lead & 0x07;
    }
    std::size_t taken = 1;  // bytes of the longest well-formed prefix
    while (length != 0 && taken < length && taken < bytes.size()) {
        const auto next = static_cast<unsigned char>(bytes[taken]);
        const bool fits = taken == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
        if (!fits) {
            break;
        }
        value = (value << 6) | (next & 0x3F);
        ++taken;
    }
    if (length != 0 && taken == length) {
        return {length, value, true};
    }
    return {taken, 0xFFFD, false};
}

std::string toValidUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Utf8Step step = nextUtf8(bytes);
        if (step.valid && step.codePoint != 0) {
            out.append(bytes.substr(0, step.length));
        } else {
            out += replacementCharacter;
        }
        bytes.remove_prefix(step.length);
    }
    return out;
}

std::string printableLine(std::string_view text) {
    std::string_view rest = text;
    std::string out;
    out.reserve(std::min(text.size(), printableLineLimit));
    while (!rest.empty() && text.size() - rest.size() < printableLineLimit) {
        const Utf8Step step = nextUtf8(rest);
        const std::string_view bytes = rest.substr(0, step.length);
        if (step.valid && !isControl(step.codePoint)) {
            out.append(bytes);
        } else {
            appendHexBytes(out, bytes);
        }
        rest.remove_prefix(step.length);
    }
    if (!rest.empty()) {
        out += "... (" + std::to_string(rest.size()) + " more bytes)";
    }
    return out;
}

std::string messageBoxText(std::string_view text) {
    std::string out;
    std::size_t lines = 1;
    std::size_t lineLength = 0;  // characters in the current line
    while (!text.empty()) {
        const Utf8Step step = nextUtf8(text);
        const std::string_view bytes = text.substr(0, step.length);
        text.remove_prefix(step.length);
        if (step.codePoint == '\r' && !text.empty() && text.front() == '\n') {
            continue;  // the LF that follows breaks the line
        }
        const bool lineBreak = step.codePoint == '\n';
        if (lineBreak || lineLength == messageBoxLineLength) {
            if (lines == messageBoxLines) {
                if (!(lineBreak && text.empty())) {
                    out += "\xE2\x80\xA6";  // the rest is left out: …
                }
                break;
            }
            out += '\n';
            ++lines;
            lineLength = 0;
            if (lineBreak) {
                continue;
            }
        }
        if (step.codePoint == '\t') {
            out += ' ';
        } else if (!step.valid || isControl(step.codePoint) || isLayoutControl(step.codePoint)) {
            out += replacementCharacter;
        } else {
            out.append(bytes);
        }
        ++lineLength;
    }
    return out;
}

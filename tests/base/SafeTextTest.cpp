#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/SafeText.hpp"

namespace {

// What reaches the log or a message box from a server or a device name must not split lines,
// steer a terminal or break the box; ordinary text, Cyrillic included, passes unchanged.
TEST(SafeText, logLinesAndMessageBoxesKeepTextAndDefuseTheRest) {
    struct Case {
        std::string text, line, box;
        std::string valid = "";  // toValidUtf8, when the text is not valid UTF-8 already
    };
    const std::string nul(1, '\0');
    const Case cases[] = {
        {"microphone=Микрофон (USB) ↔ 🎤", "microphone=Микрофон (USB) ↔ 🎤",
         "microphone=Микрофон (USB) ↔ 🎤"},
        {"HTTP 500: {\"a\":\"b\\n\"}", "HTTP 500: {\"a\":\"b\\n\"}", "HTTP 500: {\"a\":\"b\\n\"}"},
        {"busy\r\npeer_state=2", "busy\\x0D\\x0Apeer_state=2", "busy\npeer_state=2"},
        {"a\tb\rc", "a\\x09b\\x0Dc", "a b\uFFFDc"},
        {"\x1B[31m\x1B]0;owned\x07", "\\x1B[31m\\x1B]0;owned\\x07",
         "\uFFFD[31m\uFFFD]0;owned\uFFFD"},
        // NUL, DEL and C1 controls; only NUL is no text at all
        {nul + "\x7F\xC2\x9B\xC2\x85", "\\x00\\x7F\\xC2\\x9B\\xC2\\x85", "\uFFFD\uFFFD\uFFFD\uFFFD",
         "\uFFFD\x7F\xC2\x9B\xC2\x85"},
        // a stray continuation byte, an overlong form, a cut-off character
        {"\x80z\xC1\xBF\xE2\x86", "\\x80z\\xC1\\xBF\\xE2\\x86", "\uFFFDz\uFFFD\uFFFD\uFFFD",
         "\uFFFDz\uFFFD\uFFFD\uFFFD"},
        // a surrogate and a code point past U+10FFFF
        {"e\xED\xA0\x80"
         "f\xF4\x90\x80\x80",
         "e\\xED\\xA0\\x80f\\xF4\\x90\\x80\\x80", "e\uFFFD\uFFFD\uFFFDf\uFFFD\uFFFD\uFFFD\uFFFD",
         "e\uFFFD\uFFFD\uFFFDf\uFFFD\uFFFD\uFFFD\uFFFD"},
        // a line separator and a direction override
        {"|\xE2\x80\xA8|\xE2\x80\xAE"
         "evil",
         "|\xE2\x80\xA8|\xE2\x80\xAE"
         "evil",
         "|\uFFFD|\uFFFDevil"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(printableLine(c.text), c.line);
        EXPECT_EQ(messageBoxText(c.text), c.box);
        EXPECT_EQ(toValidUtf8(c.text), c.valid.empty() ? c.text : c.valid);
    }
}

TEST(SafeText, longTextIsCutOnACharacterBoundaryAndSaysSo) {
    const std::string body(printableLineLimit - 1, 'x');
    EXPECT_EQ(printableLine(body + "ЖЖ" + std::string(1000, 'y')), body + "Ж... (1002 more bytes)");
    EXPECT_EQ(printableLine(body + "x"), body + "x");

    // 200 two-byte characters: 120 on the first line of the box, 80 on the next.
    std::string cyrillic;
    for (int i = 0; i < 200; ++i) {
        cyrillic += "Ж";
    }
    EXPECT_EQ(messageBoxText(cyrillic), cyrillic.substr(0, 240) + "\n" + cyrillic.substr(240));
    // An 8 MiB error body ends as 30 full lines marked as cut.
    const std::string box = messageBoxText(std::string(8 << 20, 'e'));
    EXPECT_EQ(std::count(box.begin(), box.end(), '\n'), 29);
    EXPECT_EQ(box.size(), 30u * 120 + 29 + 3);
    EXPECT_EQ(box.substr(box.size() - 3), "…");
    std::string lines;
    for (int i = 0; i < 30; ++i) {
        lines += "line\n";
    }
    EXPECT_EQ(messageBoxText(lines), lines.substr(0, lines.size() - 1)) << "all lines fit";
    EXPECT_EQ(messageBoxText(lines + "more"), lines.substr(0, lines.size() - 1) + "…");
}

}  // namespace

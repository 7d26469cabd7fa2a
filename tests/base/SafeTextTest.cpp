#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/EventLog.hpp"
#include "base/SafeText.hpp"
#include "support/TempDir.hpp"

namespace {

std::size_t countOf(const std::string& text, char c) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

}  // namespace

TEST(PrintableLine, ordinaryLinesAndUtf8NamesPassUnchanged) {
    for (const std::string line :
         {"client_started", "display=2560x1440", "microphone=Микрофон (USB) ↔ 🎤",
          "Quorvanta | received=1200 decoded=1180 audio=3000 audio_errors=2",
          "GET /game-sessions/x/webrtc/events?after=3&viewerId=native-1 HTTP 500: {\"a\":\"b\\n\"}",
          ""}) {
        EXPECT_EQ(printableLine(line), line);
    }
}

TEST(PrintableLine, lineBreaksEscapesAndInvalidBytesCannotSplitOrSteerTheLine) {
    // A forged second log line, a terminal escape sequence (colour, then the window title),
    // a C1 control in UTF-8, NUL, DEL, a stray continuation byte and a cut-off character.
    const std::string hostile = std::string("busy\r\npeer_state=2\x1B[31m\x1B]0;owned\x07") +
                                "\xC2\x9B" + std::string(1, '\0') + "\x7F\x80z\xE2\x86";
    EXPECT_EQ(printableLine(hostile),
              "busy\\x0D\\x0Apeer_state=2\\x1B[31m\\x1B]0;owned\\x07\\xC2\\x9B\\x00\\x7F\\x80z"
              "\\xE2\\x86");
}

TEST(PrintableLine, longLinesAreCutOnACharacterBoundaryAndSayHowMuchWasLeftOut) {
    const std::string body(printableLineLimit - 1, 'x');
    const std::string line = body + "ЖЖ" + std::string(1000, 'y');
    // The character that straddles the limit is kept whole; the rest is counted.
    EXPECT_EQ(printableLine(line), body + "Ж... (1002 more bytes)");
    const std::string exact(printableLineLimit, 'x');
    EXPECT_EQ(printableLine(exact), exact);
}

TEST(EventLog, serverTextWithLineBreaksStaysOneLine) {
    TempDir folder;
    const auto path = folder.path() / "native-client.log";
    {
        EventLog log(path);
        log.write("telemetry_error=POST /x HTTP 502: a\nQuorvanta | received=9 decoded=9");
        log.write("input\r\nfake_channel_open");
    }
    EXPECT_EQ(readWholeFile(path),
              "telemetry_error=POST /x HTTP 502: a\\x0AQuorvanta | received=9 decoded=9\n"
              "input\\x0D\\x0Afake_channel_open\n");
}

TEST(MessageBoxText, keepsLinesAndTextButReplacesWhatCouldBreakTheBox) {
    EXPECT_EQ(messageBoxText("Клиент ↔ сайт\nPing: 12 ms"), "Клиент ↔ сайт\nPing: 12 ms");
    EXPECT_EQ(messageBoxText("a\r\nb\tc"), "a\nb c");
    // Lone CR, escape, NUL, DEL, C1, invalid bytes, a line separator and a direction override.
    const std::string hostile = std::string("x\ry\x1B[2J") + std::string(1, '\0') +
                                "\x7F\xC2\x85\xFF\xC3|\xE2\x80\xA8|\xE2\x80\xAE"
                                "evil";
    EXPECT_EQ(messageBoxText(hostile),
              "x\uFFFDy\uFFFD[2J\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD|\uFFFD|\uFFFDevil");
}

TEST(MessageBoxText, longLinesWrapByCharactersAndTooManyLinesAreCut) {
    // 200 two-byte characters: 120 on the first line, 80 on the next.
    std::string cyrillic;
    for (int i = 0; i < 200; ++i) {
        cyrillic += "Ж";
    }
    const std::string wrapped = messageBoxText(cyrillic);
    ASSERT_EQ(countOf(wrapped, '\n'), 1u);
    EXPECT_EQ(wrapped.find('\n'), messageBoxLineLength * 2);
    EXPECT_EQ(wrapped.size(), cyrillic.size() + 1);

    // An 8 MiB error body on one line ends as a bounded box marked as cut.
    const std::string huge = "GET /diagnostics/ping HTTP 500: " + std::string(8 << 20, 'e');
    const std::string box = messageBoxText(huge);
    EXPECT_EQ(countOf(box, '\n'), messageBoxLines - 1);
    EXPECT_EQ(box.size(), messageBoxLines * messageBoxLineLength + (messageBoxLines - 1) + 3);
    EXPECT_EQ(box.substr(box.size() - 3), "…");

    std::string lines;
    for (std::size_t i = 0; i < messageBoxLines; ++i) {
        lines += "line\n";
    }
    EXPECT_EQ(messageBoxText(lines), lines.substr(0, lines.size() - 1))
        << "all lines fit: nothing is marked as left out";
    EXPECT_EQ(messageBoxText(lines + "more"), lines.substr(0, lines.size() - 1) + "…");
}

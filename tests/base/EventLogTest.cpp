#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/EventLog.hpp"
#include "base/LoggedStream.hpp"
#include "support/TempDir.hpp"

namespace {

const std::string limit80 = "log size limit of 80 bytes reached, later lines are not written\n";

TEST(EventLog, repeatedLinesCollapseAndTheSizeLimitEndsTheLog) {
    struct Case {
        std::vector<std::string> lines;
        std::uintmax_t sizeLimit;
        std::string expected;  // the file once the log is closed
    };
    const std::uintmax_t unlimited = EventLog::defaultSizeLimit;
    const Case cases[] = {
        {{"a", "a", "a", "b"}, unlimited, "a\nprevious line repeated 2 times\nb\n"},
        // The count of a run still open is written when the log closes.
        {{"a", "b", "b"}, unlimited, "a\nb\nprevious line repeated 1 time\n"},
        {{"a", "b", "a", "b"}, unlimited, "a\nb\na\nb\n"},
        // Server text stays one line; lines that only differ in escaped bytes stay apart.
        {{"x: a\nQuorvanta | received=9", "x\r"},
         unlimited,
         "x: a\\x0AQuorvanta | received=9\nx\\x0D\n"},
        // The last line that fits leaves exactly room for the marker; nothing follows it.
        {{"0123456789", "abcd", "z", "0123456789"}, 80, "0123456789\nabcd\n" + limit80},
        // A repeat count that does not fit any more is replaced by the marker.
        {{"0123456789", "0123456789", "0123456789", "abc"}, 80, "0123456789\n" + limit80},
    };
    for (const Case& c : cases) {
        TempDir folder;
        const auto path = folder.path() / "native-client.log";
        {
            EventLog log(path, c.sizeLimit);
            for (const std::string& line : c.lines) {
                log.write(line);
            }
        }
        EXPECT_EQ(readWholeFile(path), c.expected) << ::testing::PrintToString(c.lines);
    }
}

TEST(EventLog, previousRunIsKeptAndOnlyTheOneBefore) {
    TempDir folder;
    const auto path = folder.path() / "native-client.log";
    for (const char* run : {"first", "second", "third"}) {
        EventLog log(path);
        log.write(run);
    }
    EXPECT_EQ(readWholeFile(path), "third\n");
    EXPECT_EQ(readWholeFile(folder.path() / "native-client.log.1"), "second\n");
}

// The console gets everything; the log each whole line, also from several threads at once.
TEST(LoggedStream, consoleGetsEverythingAndTheLogWholeLines) {
    TempLog log;
    std::ostringstream console;
    {
        LoggedStream errors(console, log.log);
        std::vector<std::jthread> writers;
        for (char name : {'a', 'b', 'c'}) {
            // Through the buffer, as std::cerr does; an ostringstream is no thread-safe stream.
            writers.emplace_back([&errors, name] {
                for (int i = 0; i < 200; ++i) {
                    const std::string line = std::string(40, name) + std::to_string(i) + "\n";
                    errors.sputn(line.data(), static_cast<std::streamsize>(line.size()));
                }
            });
        }
        writers.clear();  // joins them
        errors.sputn("unfinished", 10);
    }
    const std::string logged = log.text();
    EXPECT_TRUE(logged.ends_with("\nunfinished\n"));
    EXPECT_TRUE(console.str().ends_with("\nunfinished"));
    for (const std::string& text : {logged, console.str()}) {
        std::istringstream lines(text.substr(0, text.rfind("unfinished")));
        int count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            ASSERT_EQ(line.find_first_not_of(line[0]), 40u) << line;
        }
        EXPECT_EQ(count, 600);
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/EventLog.hpp"
#include "support/TempDir.hpp"

namespace {

const std::string limit80 = "log size limit of 80 bytes reached, later lines are not written\n";

}  // namespace

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
        // Lines that only differ in bytes the log escapes are still different lines.
        {{"x\n", "x\r"}, unlimited, "x\\x0A\nx\\x0D\n"},
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

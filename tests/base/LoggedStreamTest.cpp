#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/LoggedStream.hpp"
#include "support/TempDir.hpp"

TEST(LoggedStream, consoleGetsEverythingAndTheLogEachWholeLine) {
    TempDir folder;
    const auto path = folder.path() / "native-client.log";
    std::ostringstream console;
    {
        EventLog log(path);
        {
            LoggedStream errors(console, log);
            console << "Signaling: " << 503 << '\n'
                    << "first\nsecond\n"
                    << "unfinished";
        }
        console << "after\n";
    }
    EXPECT_EQ(console.str(), "Signaling: 503\nfirst\nsecond\nunfinishedafter\n");
    EXPECT_EQ(readWholeFile(path), "Signaling: 503\nfirst\nsecond\nunfinished\n");
}

TEST(LoggedStream, linesFromSeveralThreadsStayWhole) {
    TempDir folder;
    const auto path = folder.path() / "native-client.log";
    std::ostringstream console;
    {
        EventLog log(path);
        LoggedStream errors(console, log);
        std::vector<std::thread> writers;
        for (char name : {'a', 'b', 'c'}) {
            // Through the buffer, as std::cerr does; an ostringstream is no thread-safe stream.
            writers.emplace_back([&errors, name] {
                for (int i = 0; i < 200; ++i) {
                    const std::string line = std::string(40, name) + std::to_string(i) + "\n";
                    errors.sputn(line.data(), static_cast<std::streamsize>(line.size()));
                }
            });
        }
        for (auto& writer : writers) {
            writer.join();
        }
    }
    for (const std::string& text : {readWholeFile(path), console.str()}) {
        std::istringstream lines(text);
        int count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            ASSERT_EQ(line.find_first_not_of(line[0]), 40u) << line;
        }
        EXPECT_EQ(count, 600);
    }
}

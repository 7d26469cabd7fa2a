#include <gtest/gtest.h>

#include "platform/Console.hpp"

#if defined(__linux__)
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "support/WaitFor.hpp"

namespace {

// Puts `fd` in place of standard input for the lifetime of the object.
class StdinReplaced {
  public:
    explicit StdinReplaced(int fd) : saved(::dup(STDIN_FILENO)) {
        ::dup2(fd, STDIN_FILENO);
        std::cin.clear();
    }
    ~StdinReplaced() {
        ::dup2(saved, STDIN_FILENO);
        ::close(saved);
        std::cin.clear();
        std::clearerr(stdin);
    }

  private:
    int saved;
};

bool echoIsOn(int fd) {
    termios settings{};
    return ::tcgetattr(fd, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
}

std::string drain(int fd) {
    std::string text;
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

TEST(Console, passwordOnATerminalIsNotEchoedAndEchoComesBack) {
    int master = -1, terminal = -1;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    ASSERT_TRUE(echoIsOn(terminal));

    std::optional<std::string> password;
    {
        StdinReplaced input(terminal);
        // Types only once echo is off, as a person would at the prompt.
        std::thread typist([&] {
            waitFor([&] { return !echoIsOn(terminal); });
            const char typed[] = "s3cret word\n";
            ASSERT_EQ(::write(master, typed, sizeof typed - 1),
                      static_cast<ssize_t>(sizeof typed - 1));
        });
        password = platform::promptHiddenLine("Password: ");
        typist.join();
    }

    EXPECT_EQ(password, "s3cret word");
    EXPECT_TRUE(echoIsOn(terminal));
    EXPECT_EQ(drain(master).find("s3cret"), std::string::npos);

    // With echo restored, the same terminal echoes an ordinary line again.
    {
        StdinReplaced input(terminal);
        const char typed[] = "me@example.com\n";
        ASSERT_EQ(::write(master, typed, sizeof typed - 1), static_cast<ssize_t>(sizeof typed - 1));
        EXPECT_EQ(platform::promptLine("Email: "), "me@example.com");
    }
    EXPECT_NE(drain(master).find("me@example.com"), std::string::npos);
    ::close(master);
    ::close(terminal);
}

TEST(Console, pipedInputIsReadLineByLine) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const std::string input = "user@example.com\npass word\r\n\nlast";
    ASSERT_EQ(::write(pipeFds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(pipeFds[1]);
    {
        StdinReplaced replaced(pipeFds[0]);
        EXPECT_EQ(platform::promptLine("Email: "), "user@example.com");
        EXPECT_EQ(platform::promptHiddenLine("Password: "), "pass word");
        EXPECT_EQ(platform::promptLine("x"), "");
        EXPECT_EQ(platform::promptLine("x"), "last");
        EXPECT_EQ(platform::promptLine("x"), std::nullopt);  // end of input, not an empty line
    }
    ::close(pipeFds[0]);
}

}  // namespace
#endif

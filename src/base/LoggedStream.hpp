#pragma once

#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

#include "base/EventLog.hpp"

// While it lives, what is written to the stream still goes where it went before, and each
// whole line of it is also written to the log. Main puts one on standard error, so every error
// the console shows is in the log a player sends. Threads may write at once (std::cerr allows
// it); a line written in one piece stays whole in both places.
class LoggedStream : public std::streambuf {
  public:
    LoggedStream(std::ostream& stream, EventLog& log);
    ~LoggedStream() override;
    LoggedStream(const LoggedStream&) = delete;
    LoggedStream& operator=(const LoggedStream&) = delete;

  protected:
    int_type overflow(int_type character) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

  private:
    std::ostream& stream;
    std::streambuf* const original;
    EventLog& log;
    std::mutex mutex;
    std::string pending;  // the start of a line not yet ended
};

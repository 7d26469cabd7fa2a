#include "base/LoggedStream.hpp"

#include <string_view>
#include <vector>

LoggedStream::LoggedStream(std::ostream& stream, EventLog& log)
    : stream(stream), original(stream.rdbuf()), log(log) {
    stream.rdbuf(this);
}

LoggedStream::~LoggedStream() {
    stream.rdbuf(original);
    if (!pending.empty()) {
        log.write(pending);
    }
}

LoggedStream::int_type LoggedStream::overflow(int_type character) {
    if (traits_type::eq_int_type(character, traits_type::eof())) {
        return traits_type::not_eof(character);
    }
    const char c = traits_type::to_char_type(character);
    return xsputn(&c, 1) == 1 ? character : traits_type::eof();
}

std::streamsize LoggedStream::xsputn(const char* text, std::streamsize count) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex);
        // A console that is gone does not fail the stream, so the log still gets every line.
        original->sputn(text, count);
        std::string_view rest(text, static_cast<std::size_t>(count));
        for (auto end = rest.find('\n'); end != std::string_view::npos; end = rest.find('\n')) {
            pending.append(rest.substr(0, end));
            lines.push_back(std::move(pending));
            pending.clear();
            rest.remove_prefix(end + 1);
        }
        pending.append(rest);
    }
    // Written after the lock is let go, so no thread holds two of the client's locks.
    for (const std::string& line : lines) {
        log.write(line);
    }
    return count;
}

int LoggedStream::sync() {
    std::lock_guard lock(mutex);
    return original->pubsync();
}

#include "platform/StopSignals.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <thread>

namespace platform {

namespace {

// A signal handler can reach nothing but file-scope state: the pipe that wakes the watcher.
// Set before the handlers are installed, cleared once they are removed.
std::atomic<int> wakeFd{-1};

constexpr char stopByte = 's';
constexpr char quitByte = 'q';
constexpr int repeatMs = 100;

extern "C" void noteStopSignal(int) {
    const int savedErrno = errno;
    const int fd = wakeFd.load();
    if (fd >= 0) {
        const char byte = stopByte;
        (void)::write(fd, &byte, 1);  // a full pipe already holds a wake-up
    }
    errno = savedErrno;
}

}  // namespace

class StopSignals::Impl {
  public:
    explicit Impl(std::function<void()> onStop) : onStop(std::move(onStop)) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error("cannot create the stop signal pipe");
        }
        readFd = fds[0];
        writeFd = fds[1];
        wakeFd.store(writeFd);
        struct sigaction action {};
        action.sa_handler = noteStopSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int i = 0; i < signalCount; ++i) {
            ::sigaction(signals[i], &action, &previous[i]);
        }
        watcher = std::thread([this] { watch(); });
    }

    ~Impl() {
        for (int i = 0; i < signalCount; ++i) {
            ::sigaction(signals[i], &previous[i], nullptr);
        }
        wakeFd.store(-1);
        const char byte = quitByte;
        while (::write(writeFd, &byte, 1) < 0 && errno == EINTR) {
        }
        watcher.join();
        ::close(readFd);
        ::close(writeFd);
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

  private:
    void watch() {
        bool stopping = false;
        while (true) {
            pollfd wake{readFd, POLLIN, 0};
            const int ready = ::poll(&wake, 1, stopping ? repeatMs : -1);
            if (ready > 0) {
                char bytes[64];
                const ssize_t count = ::read(readFd, bytes, sizeof bytes);
                for (ssize_t i = 0; i < count; ++i) {
                    if (bytes[i] == quitByte) {
                        return;
                    }
                    stopping = true;
                }
            }
            if (stopping) {
                try {
                    onStop();
                } catch (...) {
                    // Asking again in 100 ms is all that can be done.
                }
            }
        }
    }

    static constexpr int signalCount = 2;
    static constexpr int signals[signalCount] = {SIGINT, SIGTERM};

    std::function<void()> onStop;
    int readFd = -1;
    int writeFd = -1;
    struct sigaction previous[signalCount] {};
    std::thread watcher;
};

StopSignals::StopSignals(std::function<void()> onStop)
    : impl(std::make_unique<Impl>(std::move(onStop))) {}

StopSignals::~StopSignals() = default;

}  // namespace platform

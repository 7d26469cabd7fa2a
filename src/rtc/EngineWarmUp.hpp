#pragma once

#include <thread>

namespace rtc {

// The engine makes its DTLS certificate (an RSA key) when the first connection needs it: 0.3 to
// 0.9 s on a 2-core machine, spent between the server's offer and the answer, on the way to the
// first picture. Made on a thread of its own while the player types the credentials and the
// login runs, it is ready by then; the engine keeps it for the whole process. Nothing is
// reported: a failure here shows again, with its reason, when the connection is made.
class EngineWarmUp {
  public:
    EngineWarmUp();
    // Waits for the key to be made: under a second.
    ~EngineWarmUp();
    EngineWarmUp(const EngineWarmUp&) = delete;
    EngineWarmUp& operator=(const EngineWarmUp&) = delete;

  private:
    std::thread thread;
};

}  // namespace rtc

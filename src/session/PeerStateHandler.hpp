#pragma once

#include <atomic>
#include <iostream>
#include <ostream>

#include "base/EventLog.hpp"
#include "rtc/rtc.hpp"

// The connection's state callback: prints and logs every state and asks the client to stop
// once the connection is disconnected, failed or closed. There is no reconnection.
class PeerStateHandler {
  public:
    PeerStateHandler(std::atomic<bool>& stopRequested, EventLog& log,
                     std::ostream& console = std::cout)
        : stopRequested(stopRequested), log(log), console(console) {}

    void operator()(rtc::PeerConnection::State state);

  private:
    std::atomic<bool>& stopRequested;
    EventLog& log;
    std::ostream& console;
};

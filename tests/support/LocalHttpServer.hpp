#pragma once

#include <httplib.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "support/WaitFor.hpp"

// An HTTP server inside the test process, on 127.0.0.1 and a free port, serving from its
// own thread. Register handlers on `server` before start(); the destructor stops and joins.
class LocalHttpServer {
  public:
    ~LocalHttpServer() { stop(); }

    // Binds and starts serving; returns once the server accepts connections.
    void start() {
        port = server.bind_to_any_port("127.0.0.1");
        if (port < 0) {
            throw std::runtime_error("test server could not bind 127.0.0.1");
        }
        thread = std::thread([this] { server.listen_after_bind(); });
        if (!waitFor([this] { return server.is_running(); })) {
            throw std::runtime_error("test server did not start");
        }
    }
    void stop() {
        if (thread.joinable()) {
            server.stop();
            thread.join();
        }
    }
    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(port); }

    httplib::Server server;

  private:
    int port = -1;
    std::thread thread;
};

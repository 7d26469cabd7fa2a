#pragma once

#include <httplib.h>

#include <string>
#include <thread>

// An HTTP server inside the test process, on 127.0.0.1 and a free port, serving from its
// own thread. Register handlers on `server` before start(); the destructor stops and joins.
class LocalHttpServer {
  public:
    LocalHttpServer() = default;
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    // Binds and starts serving; returns once the server accepts connections.
    void start();
    void stop();

    int port() const { return boundPort; }
    // "http://127.0.0.1:<port>"
    std::string baseUrl() const;

    httplib::Server server;

  private:
    int boundPort = -1;
    std::thread thread;
};

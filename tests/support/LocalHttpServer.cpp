#include "support/LocalHttpServer.hpp"

#include <stdexcept>

#include "support/WaitFor.hpp"

LocalHttpServer::~LocalHttpServer() {
    stop();
}

void LocalHttpServer::start() {
    boundPort = server.bind_to_any_port("127.0.0.1");
    if (boundPort < 0) {
        throw std::runtime_error("test server could not bind 127.0.0.1");
    }
    thread = std::thread([this] { server.listen_after_bind(); });
    if (!waitFor([this] { return server.is_running(); })) {
        throw std::runtime_error("test server did not start");
    }
}

void LocalHttpServer::stop() {
    if (thread.joinable()) {
        server.stop();
        thread.join();
    }
}

std::string LocalHttpServer::baseUrl() const {
    return "http://127.0.0.1:" + std::to_string(boundPort);
}

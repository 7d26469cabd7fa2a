#pragma once

// The stand-in for the Quorvanta service: its HTTP API on 127.0.0.1, one demo account and one
// active game session whose viewer is offered a stream by an offering peer.

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "CpuLoadSampler.hpp"
#include "PreparedStream.hpp"
#include "RequestRecorder.hpp"
#include "Scenario.hpp"
#include "ServiceOptions.hpp"
#include "ViewerSession.hpp"

class LocalService {
  public:
    // Without a peer factory viewers get no offer: the HTTP side alone.
    // Throws std::runtime_error when the record or scenario file is unusable.
    explicit LocalService(ServiceOptions options, PeerFactory peerFactory = {});
    ~LocalService();
    LocalService(const LocalService&) = delete;
    LocalService& operator=(const LocalService&) = delete;

    // Binds 127.0.0.1 (port 0: any free port) and serves on a thread of its own; connections
    // are accepted from the moment it returns. Returns the port. Throws std::runtime_error
    // when the port cannot be bound.
    int start(int port);
    // Ends delayed replies early, stops serving and closes the viewer's peer.
    void stop();

  private:
    using Request = httplib::Request;
    using Response = httplib::Response;

    void handle(const Request& request, Response& response);
    void route(const Request& request, Response& response);
    void record(const Request& request);
    bool authorized(const Request& request) const;
    bool waitUnlessStopping(std::chrono::milliseconds delay);

    void login(const Request& request, Response& response);
    void activeSessions(Response& response);
    void sessionEndpoint(const std::string& endpoint, const Request& request, Response& response);
    void viewport(const Request& request, Response& response);
    void signal(const Request& request, Response& response);
    void events(const Request& request, Response& response);
    void telemetry(const Request& request, Response& response);
    void diagnostics(const std::string& endpoint, const Request& request, Response& response);

    std::shared_ptr<ViewerSession> viewerFor(const std::string& viewerId);
    // Makes the next viewer's stream ready before its first poll, unless a viewer is
    // streaming already.
    void prepareStream(const OfferingPeerOptions& peerOptions);
    std::shared_ptr<ViewerSession> currentViewer();

    const ServiceOptions options;
    const PeerFactory peerFactory;
    std::unique_ptr<RequestRecorder> recorder;
    Scenario scenario;
    CpuLoadSampler cpuLoad;

    mutable std::mutex mutex;  // guards the fields down to the viewer
    std::set<std::string> tokens;
    OfferingPeerOptions streamOptions;  // from the last viewport report
    std::uint64_t answeredBitrate = 0;  // last bitrate the telemetry answer gave

    std::mutex viewerMutex;  // held while a viewer's session is replaced
    std::shared_ptr<ViewerSession> viewer;
    std::set<std::string> pastViewers;
    // Used under viewerMutex; last of what it needs (the factory, the recorder).
    PreparedStream preparedStream{[this](const OfferingPeerOptions& peerOptions) {
        return std::make_shared<ViewerSession>("", peerFactory, peerOptions,
                                               std::chrono::seconds(options.sessionSeconds),
                                               recorder.get());
    }};

    std::mutex stopMutex;
    std::condition_variable stopWake;
    bool stopping = false;

    httplib::Server server;
    std::thread listener;
    std::atomic<bool> listenEnded = false;
};

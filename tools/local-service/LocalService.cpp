#include "LocalService.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <csignal>
#include <iomanip>
#include <iostream>
#include <random>
#include <sstream>

#include "HttpReplies.hpp"

namespace {

using nlohmann::json;

constexpr std::uint64_t minBitrate = 2'000'000;
constexpr std::uint64_t maxBitrate = 50'000'000;
constexpr std::size_t defaultChunkSize = 262144;
constexpr std::size_t maxChunkSize = 8 * 1024 * 1024;
constexpr int maxViewportSide = 7680;
// A new viewer's first poll waits this long for the offer instead of coming back empty.
constexpr auto firstOfferWait = std::chrono::milliseconds(2000);

// The stand-in has no game server behind it; these are the figures it reports for that link.
constexpr int gameServerLatencyMs = 1;
constexpr double gameServerDownloadMbps = 940.0;
constexpr double gameServerUploadMbps = 940.0;

std::string newToken() {
    std::random_device random;
    std::ostringstream hex;
    for (int i = 0; i < 4; ++i) {
        hex << std::hex << std::setw(8) << std::setfill('0') << random();
    }
    return hex.str();
}

}  // namespace

LocalService::LocalService(ServiceOptions serviceOptions, PeerFactory factory)
    : options(std::move(serviceOptions)),
      peerFactory(std::move(factory)),
      scenario(options.scenarioFile.empty() ? Scenario()
                                            : Scenario::fromFile(options.scenarioFile)) {
    if (!options.recordFile.empty()) {
        recorder = std::make_unique<RequestRecorder>(options.recordFile);
    }
    streamOptions.videoFile = options.videoFile;
    streamOptions.impairment = options.impairment;
    answeredBitrate = streamOptions.bitrate;

    auto handler = [this](const Request& request, Response& response) {
        try {
            handle(request, response);
        } catch (const std::exception& e) {
            // Also the peer's own failures (a pipeline that cannot start): the viewer sees them.
            replyError(response, 500, e.what());
        }
    };
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Patch(".*", handler);
    server.Delete(".*", handler);
    server.Options(".*", handler);
    server.set_payload_max_length(64 * 1024 * 1024);
    // The library's default adds SO_REUSEPORT, which would let a second service share the
    // port silently; a taken port must be an error.
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
}

LocalService::~LocalService() {
    stop();
}

int LocalService::start(int port) {
    // The library writes with plain send(): a viewer that hangs up mid-reply must not kill
    // the process with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    int bound = port;
    if (port == 0) {
        bound = server.bind_to_any_port("127.0.0.1");
    } else if (!server.bind_to_port("127.0.0.1", port)) {
        bound = -1;
    }
    if (bound <= 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    listener = std::thread([this] {
        server.listen_after_bind();
        listenEnded = true;
    });
    // stop() only reaches a server that is already running; until then it would be lost and
    // the join would wait forever.
    while (!server.is_running() && !listenEnded) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // The first viewer finds its offer waiting, as on the real service. Until a viewer
    // answers, the stream costs nothing but its memory.
    if (peerFactory) {
        OfferingPeerOptions peerOptions;
        {
            std::lock_guard lock(mutex);
            peerOptions = streamOptions;
        }
        prepareStream(peerOptions);
    }
    return bound;
}

void LocalService::stop() {
    {
        std::lock_guard lock(stopMutex);
        stopping = true;
    }
    stopWake.notify_all();
    server.stop();
    if (listener.joinable()) {
        listener.join();
    }
    {
        std::lock_guard replacing(viewerMutex);
        preparedStream.clear();
    }
    std::shared_ptr<ViewerSession> last;
    {
        std::lock_guard lock(mutex);
        last = std::move(viewer);
    }
}

bool LocalService::waitUnlessStopping(std::chrono::milliseconds delay) {
    std::unique_lock lock(stopMutex);
    return !stopWake.wait_for(lock, delay, [this] { return stopping; });
}

void LocalService::handle(const Request& request, Response& response) {
    record(request);
    if (auto scripted = scenario.take(request.method, request.path, request.target)) {
        if (scripted->delay.count() > 0 && !waitUnlessStopping(scripted->delay)) {
            replyError(response, 503, "stopping");
            return;
        }
        if (scripted->dropConnection) {
            dropConnection(request);
            response.status = 500;
            return;
        }
        if (scripted->status) {
            response.status = *scripted->status;
            response.set_content(scripted->body, scripted->contentType.empty()
                                                     ? "application/json"
                                                     : scripted->contentType);
            return;
        }
    }
    route(request, response);
}

void LocalService::record(const Request& request) {
    if (!recorder) {
        return;
    }
    json line = {{"method", request.method}, {"path", request.target}, {"body", request.body}};
    line["authorization"] = request.has_header("Authorization")
                                ? json(request.get_header_value("Authorization"))
                                : json(nullptr);
    recorder->write(line);
}

bool LocalService::authorized(const Request& request) const {
    const std::string prefix = "Bearer ";
    std::string value = request.get_header_value("Authorization");
    if (value.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    std::lock_guard lock(mutex);
    return tokens.count(value.substr(prefix.size())) > 0;
}

void LocalService::route(const Request& request, Response& response) {
    const std::string& path = request.path;
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    auto methodNotAllowed = [&] { replyError(response, 405, "method not allowed"); };

    if (path == "/auth/login") {
        post ? login(request, response) : methodNotAllowed();
        return;
    }
    if (!authorized(request)) {
        response.set_header("WWW-Authenticate", "Bearer");
        replyError(response, 401, "unauthorized");
        return;
    }
    if (path == "/game-sessions/active") {
        get ? activeSessions(response) : methodNotAllowed();
        return;
    }
    const std::string sessions = "/game-sessions/";
    if (path.compare(0, sessions.size(), sessions) == 0) {
        std::string rest = path.substr(sessions.size());
        std::size_t slash = rest.find('/');
        std::string id = rest.substr(0, slash);
        std::string suffix = slash == std::string::npos ? "" : rest.substr(slash);
        if (id != options.sessionId) {
            replyError(response, 404, "no such game session");
            return;
        }
        const std::string webrtc = "/webrtc/";
        if (suffix.compare(0, webrtc.size(), webrtc) != 0) {
            replyError(response, 404, "not found");
            return;
        }
        sessionEndpoint(suffix.substr(webrtc.size()), request, response);
        return;
    }
    const std::string diagnosticsPrefix = "/diagnostics/";
    if (path.compare(0, diagnosticsPrefix.size(), diagnosticsPrefix) == 0) {
        diagnostics(path.substr(diagnosticsPrefix.size()), request, response);
        return;
    }
    replyError(response, 404, "not found");
}

void LocalService::login(const Request& request, Response& response) {
    auto body = objectBody(request, response);
    if (!body) {
        return;
    }
    const json& email = (*body)["email"];
    const json& password = (*body)["password"];
    if (!email.is_string() || !password.is_string() || email != options.email ||
        password != options.password) {
        replyError(response, 401, "wrong e-mail or password");
        return;
    }
    std::string token = newToken();
    {
        std::lock_guard lock(mutex);
        tokens.insert(token);
    }
    reply(response, 200, {{"access_token", token}});
}

void LocalService::activeSessions(Response& response) {
    reply(response, 200,
          {{"data", json::array({{{"id", options.sessionId}, {"status", "active"}}})}});
}

void LocalService::sessionEndpoint(const std::string& endpoint, const Request& request,
                                   Response& response) {
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    if (endpoint == "config" && get) {
        reply(response, 200, {{"iceServers", json::array()}});
    } else if (endpoint == "viewport" && post) {
        viewport(request, response);
    } else if (endpoint == "signal" && post) {
        signal(request, response);
    } else if (endpoint == "events" && get) {
        events(request, response);
    } else if (endpoint == "telemetry" && post) {
        telemetry(request, response);
    } else if (endpoint == "config" || endpoint == "viewport" || endpoint == "signal" ||
               endpoint == "events" || endpoint == "telemetry") {
        replyError(response, 405, "method not allowed");
    } else {
        replyError(response, 404, "not found");
    }
}

void LocalService::viewport(const Request& request, Response& response) {
    auto body = objectBody(request, response);
    if (!body) {
        return;
    }
    const json& width = (*body)["width"];
    const json& height = (*body)["height"];
    const json& codec = (*body)["codec"];
    const json& bitrate = (*body)["bitrate"];
    auto side = [](const json& value) {
        return value.is_number_integer() && value.get<long long>() > 0 &&
               value.get<long long>() <= maxViewportSide;
    };
    if (!side(width) || !side(height) || !(codec == "h264" || codec == "hevc") ||
        !bitrate.is_number() || bitrate.get<double>() <= 0) {
        replyError(response, 400, "expected width, height, codec (h264 or hevc) and bitrate");
        return;
    }
    OfferingPeerOptions peerOptions;
    {
        std::lock_guard lock(mutex);
        streamOptions.width = width.get<int>();
        streamOptions.height = height.get<int>();
        streamOptions.hevc = codec == "hevc";
        // The stream starts at the reported bitrate; telemetry moves it from there.
        streamOptions.bitrate = static_cast<std::uint64_t>(
            std::clamp(bitrate.get<double>(), double(minBitrate), double(maxBitrate)));
        answeredBitrate = streamOptions.bitrate;
        peerOptions = streamOptions;
    }
    if (peerFactory) {
        prepareStream(peerOptions);
    }
    reply(response, 200, json::object());
}

void LocalService::signal(const Request& request, Response& response) {
    auto body = objectBody(request, response);
    if (!body) {
        return;
    }
    const json& viewerId = (*body)["viewerId"];
    const json& type = (*body)["type"];
    if (!viewerId.is_string() || !type.is_string()) {
        replyError(response, 400, "expected viewerId and type");
        return;
    }
    auto session = currentViewer();
    if (!session || session->viewerId() != viewerId.get<std::string>()) {
        replyError(response, 409, "not the current viewer of this session");
        return;
    }
    if (type == "set_remote_description") {
        const json& sdp = (*body)["sdp"];
        if (!sdp.is_string() || (*body)["sdpType"] != "answer") {
            replyError(response, 400, "expected an answer with sdp");
            return;
        }
        try {
            session->applyAnswer(sdp.get<std::string>());
        } catch (const std::exception& e) {
            replyError(response, 400, e.what());
            return;
        }
    } else if (type == "add_remote_candidate") {
        const json& candidate = (*body)["candidate"];
        const json& mid = (*body)["mid"];
        if (!candidate.is_string() || !mid.is_string()) {
            replyError(response, 400, "expected candidate and mid");
            return;
        }
        // A candidate off loopback is accepted and ignored, as a server would skip an
        // unreachable one.
        session->addRemoteCandidate(candidate.get<std::string>(), mid.get<std::string>());
    } else {
        replyError(response, 400, "unknown signal type");
        return;
    }
    reply(response, 200, json::object());
}

void LocalService::events(const Request& request, Response& response) {
    std::string viewerId = request.get_param_value("viewerId");
    if (viewerId.empty()) {
        replyError(response, 400, "viewerId missing");
        return;
    }
    long long after = 0;
    if (request.has_param("after")) {
        auto value = parseWhole(request.get_param_value("after"));
        if (!value) {
            replyError(response, 400, "after must be a whole number");
            return;
        }
        after = *value;
    }
    auto session = viewerFor(viewerId);
    reply(response, 200, {{"events", session ? session->eventsAfter(after) : json::array()}});
}

void LocalService::telemetry(const Request& request, Response& response) {
    auto body = objectBody(request, response);
    if (!body) {
        return;
    }
    const json& proposal = (*body)["availableBitrate"];
    if (!proposal.is_number()) {
        replyError(response, 400, "availableBitrate missing");
        return;
    }
    // The server's policy: follow the viewer's proposal within what the encoder is good for.
    auto answer = static_cast<std::uint64_t>(
        std::clamp(proposal.get<double>(), double(minBitrate), double(maxBitrate)));
    bool changed = false;
    std::shared_ptr<ViewerSession> session;
    {
        std::lock_guard lock(mutex);
        changed = answer != answeredBitrate;
        answeredBitrate = answer;
        streamOptions.bitrate = answer;
        session = viewer;
    }
    if (changed && session) {
        session->setBitrate(answer);
    }
    reply(response, 200, {{"bitrate", answer}});
}

void LocalService::diagnostics(const std::string& endpoint, const Request& request,
                               Response& response) {
    const bool get = request.method == "GET";
    const bool post = request.method == "POST";
    if (endpoint == "ping" && get) {
        reply(response, 200, {{"ok", true}});
    } else if (endpoint == "chunk" && get) {
        std::size_t size = defaultChunkSize;
        if (request.has_param("size")) {
            auto value = parseWhole(request.get_param_value("size"));
            if (!value || *value < 0) {
                replyError(response, 400, "size must be a whole number");
                return;
            }
            size = std::min(static_cast<std::size_t>(*value), maxChunkSize);
        }
        const std::string frame = "{\"data\":\"\"}";
        std::string body = "{\"data\":\"";
        body.append(size > frame.size() ? size - frame.size() : 0, 'x');
        body += "\"}";
        response.status = 200;
        response.set_content(std::move(body), "application/json");
    } else if (endpoint == "upload" && post) {
        reply(response, 200, {{"received", request.body.size()}});
    } else if (endpoint == "status" && get) {
        reply(response, 200,
              {{"linux", {{"cpuLoadPercent", cpuLoad.loadPercent()}, {"cores", processorCount()}}},
               {"gameServerNetwork",
                {{"latencyMs", gameServerLatencyMs},
                 {"downloadMbps", gameServerDownloadMbps},
                 {"uploadMbps", gameServerUploadMbps}}}});
    } else if (endpoint == "ping" || endpoint == "chunk" || endpoint == "upload" ||
               endpoint == "status") {
        replyError(response, 405, "method not allowed");
    } else {
        replyError(response, 404, "not found");
    }
}

void LocalService::prepareStream(const OfferingPeerOptions& peerOptions) {
    std::lock_guard replacing(viewerMutex);
    {
        std::lock_guard lock(mutex);
        if (viewer && !viewer->ended()) {
            return;  // one stream at a time
        }
    }
    preparedStream.prepare(peerOptions);
}

std::shared_ptr<ViewerSession> LocalService::currentViewer() {
    std::lock_guard lock(mutex);
    return viewer;
}

std::shared_ptr<ViewerSession> LocalService::viewerFor(const std::string& viewerId) {
    std::lock_guard replacing(viewerMutex);
    std::shared_ptr<ViewerSession> previous;
    OfferingPeerOptions peerOptions;
    {
        std::lock_guard lock(mutex);
        if (viewer && viewer->viewerId() == viewerId) {
            return viewer;
        }
        // A viewer that was replaced stays out: two viewers polling in turn would otherwise
        // take the session from each other every poll.
        if (pastViewers.count(viewerId) || !peerFactory) {
            return nullptr;
        }
        if (viewer) {
            pastViewers.insert(viewer->viewerId());
        }
        previous = std::move(viewer);
        peerOptions = streamOptions;
    }
    if (previous) {
        tellViewerEvent(previous->viewerId(), "replaced by " + viewerId);
    }
    // One stream at a time: the previous viewer's peer closes before the next one starts.
    previous.reset();
    auto created = preparedStream.take(peerOptions);
    if (created) {
        created->adopt(viewerId);
    } else {
        created = std::make_shared<ViewerSession>(viewerId, peerFactory, peerOptions,
                                                  std::chrono::seconds(options.sessionSeconds),
                                                  recorder.get());
    }
    {
        std::lock_guard lock(mutex);
        viewer = created;
    }
    created->waitForFirstEvent(firstOfferWait);
    return created;
}

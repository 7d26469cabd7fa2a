#include "rtc/rtc.hpp"

#include <charconv>
#include <stdexcept>

#include "rtc/Impl.hpp"

namespace rtc {

namespace {

std::uint16_t parsePort(std::string_view text, const std::string& url) {
    unsigned value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        throw std::invalid_argument("Invalid ICE server port in \"" + url + "\"");
    }
    return static_cast<std::uint16_t>(value);
}

}  // namespace

IceServer::IceServer(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos) {
        throw std::invalid_argument("Invalid ICE server URL \"" + url + "\"");
    }
    std::string scheme = url.substr(0, colon);
    std::string_view rest = std::string_view(url).substr(colon + 1);
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
    }

    bool secure = false;
    if (scheme == "stun") {
        type = Type::Stun;
    } else if (scheme == "stuns") {
        type = Type::Stun;
        secure = true;
    } else if (scheme == "turn") {
        type = Type::Turn;
    } else if (scheme == "turns") {
        type = Type::Turn;
        secure = true;
        relayType = RelayType::TurnTls;
    } else {
        throw std::invalid_argument("Unknown ICE server scheme in \"" + url + "\"");
    }
    port = secure ? 5349 : 3478;
    this->secure = secure;

    if (auto query = rest.find('?'); query != std::string_view::npos) {
        std::string_view params = rest.substr(query + 1);
        rest = rest.substr(0, query);
        if (params == "transport=udp") {
            if (secure) {
                throw std::invalid_argument("TLS over UDP is not supported in \"" + url + "\"");
            }
            relayType = RelayType::TurnUdp;
        } else if (params == "transport=tcp") {
            relayType = secure ? RelayType::TurnTls : RelayType::TurnTcp;
        } else {
            throw std::invalid_argument("Unknown ICE server parameter in \"" + url + "\"");
        }
        if (type == Type::Stun) {
            throw std::invalid_argument("A STUN server takes no transport in \"" + url + "\"");
        }
    }

    if (auto at = rest.rfind('@'); at != std::string_view::npos) {
        std::string_view credentials = rest.substr(0, at);
        rest = rest.substr(at + 1);
        auto separator = credentials.find(':');
        username = std::string(credentials.substr(0, separator));
        if (separator != std::string_view::npos) {
            password = std::string(credentials.substr(separator + 1));
        }
    }

    if (rest.starts_with('[')) {
        auto close = rest.find(']');
        if (close == std::string_view::npos) {
            throw std::invalid_argument("Invalid ICE server host in \"" + url + "\"");
        }
        hostname = std::string(rest.substr(1, close - 1));
        rest = rest.substr(close + 1);
        if (!rest.empty()) {
            if (!rest.starts_with(':')) {
                throw std::invalid_argument("Invalid ICE server host in \"" + url + "\"");
            }
            port = parsePort(rest.substr(1), url);
        }
    } else {
        auto portSeparator = rest.rfind(':');
        hostname = std::string(rest.substr(0, portSeparator));
        if (portSeparator != std::string_view::npos) {
            port = parsePort(rest.substr(portSeparator + 1), url);
        }
    }
    // The host goes into the engine's server URI as it stands: only a name, an IPv4 address or
    // (bracketed in the URL) an IPv6 address may pass, never URI syntax such as ? # % @ /.
    const bool bracketed = url.find('[') != std::string::npos;
    const char* allowed = bracketed ? "0123456789abcdefABCDEF:."
                                    : "0123456789abcdefghijklmnopqrstuvwxyz"
                                      "ABCDEFGHIJKLMNOPQRSTUVWXYZ.-_";
    if (hostname.empty() || hostname.find_first_not_of(allowed) != std::string::npos ||
        (bracketed && hostname.find(':') == std::string::npos)) {
        throw std::invalid_argument("Invalid ICE server host in \"" + url + "\"");
    }
}

Description::Description(const std::string& sdp, const std::string& typeString) : sdp(sdp) {
    if (typeString == "offer") {
        descriptionType = Type::Offer;
    } else if (typeString == "answer") {
        descriptionType = Type::Answer;
    } else if (typeString == "pranswer") {
        descriptionType = Type::Pranswer;
    } else if (typeString == "rollback") {
        descriptionType = Type::Rollback;
    } else {
        throw std::invalid_argument("Unknown description type \"" + typeString + "\"");
    }
}

std::string Description::typeString() const {
    switch (descriptionType) {
        case Type::Offer:
            return "offer";
        case Type::Answer:
            return "answer";
        case Type::Pranswer:
            return "pranswer";
        case Type::Rollback:
            return "rollback";
        case Type::Unspec:
            break;
    }
    return "unspec";
}

Candidate::Candidate(std::string candidate, std::string mid)
    : text(std::move(candidate)), mediaId(std::move(mid)) {
    if (text.starts_with("a=")) {
        text.erase(0, 2);
    }
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) {
        text.pop_back();
    }
}

Track::Track(std::shared_ptr<Impl> impl) : impl(std::move(impl)) {}
Track::~Track() = default;
std::string Track::mid() const {
    return impl->mid();
}
std::string Track::kind() const {
    return impl->kind();
}
void Track::setMediaHandler(std::shared_ptr<MediaHandler> handler) {
    impl->setMediaHandler(std::move(handler));
}
void Track::onFrame(std::function<void(binary, FrameInfo)> callback) {
    impl->onFrame(std::move(callback));
}
bool Track::requestKeyframe() {
    return impl->requestKeyframe();
}
ReceiveStats Track::receiveStats() const {
    return impl->receiveStats();
}

DataChannel::DataChannel(std::shared_ptr<Impl> impl) : impl(std::move(impl)) {}
DataChannel::~DataChannel() = default;
std::string DataChannel::label() const {
    return impl->label();
}
bool DataChannel::isOpen() const {
    return impl->isOpen();
}
bool DataChannel::isClosed() const {
    return impl->isClosed();
}
std::size_t DataChannel::bufferedAmount() const {
    return impl->bufferedAmount();
}
bool DataChannel::send(message_variant data) {
    return impl->send(std::move(data));
}
bool DataChannel::send(const byte* data, std::size_t size) {
    return impl->send(binary(data, data + size));
}
void DataChannel::close() {
    impl->close();
}
void DataChannel::onOpen(std::function<void()> callback) {
    impl->onOpen(std::move(callback));
}
void DataChannel::onClosed(std::function<void()> callback) {
    impl->onClosed(std::move(callback));
}
void DataChannel::onMessage(std::function<void(message_variant)> callback) {
    impl->onMessage(std::move(callback));
}

PeerConnection::PeerConnection(std::shared_ptr<Impl> impl) : impl(std::move(impl)) {}
PeerConnection::~PeerConnection() {
    if (impl) {
        impl->close();
    }
}
void PeerConnection::close() {
    impl->close();
}
void PeerConnection::setRemoteDescription(Description description) {
    impl->setRemoteDescription(std::move(description));
}
void PeerConnection::addRemoteCandidate(Candidate candidate) {
    impl->addRemoteCandidate(std::move(candidate));
}
PeerConnection::State PeerConnection::state() const {
    return impl->state();
}
void PeerConnection::onLocalDescription(std::function<void(Description)> callback) {
    impl->onLocalDescription(std::move(callback));
}
void PeerConnection::onLocalCandidate(std::function<void(Candidate)> callback) {
    impl->onLocalCandidate(std::move(callback));
}
void PeerConnection::onStateChange(std::function<void(State)> callback) {
    impl->onStateChange(std::move(callback));
}
void PeerConnection::onTrack(std::function<void(std::shared_ptr<Track>)> callback) {
    impl->onTrack(std::move(callback));
}
void PeerConnection::onDataChannel(std::function<void(std::shared_ptr<DataChannel>)> callback) {
    impl->onDataChannel(std::move(callback));
}

}  // namespace rtc

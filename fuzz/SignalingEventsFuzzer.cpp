// The poller's handling of one events reply, applied to the fake peer connection.

#include <sstream>

#include "ServerReply.hpp"
#include "session/SignalingPoller.hpp"
#include "support/FakeRtc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto peer = std::make_shared<fake::FakePeer>();
    auto connection = std::make_shared<rtc::PeerConnection>(peer);
    std::atomic<bool> stopRequested{false};
    SignalingTransport transport{
        [&](const std::string&) { return parseReplyBody(data, size); },
        [](const std::string&, const nlohmann::json&) { return nlohmann::json::object(); },
    };
    const std::string sessionId = "demo-session";
    const std::string viewerId = "native-1";
    std::ostringstream errors;
    SignalingPoller poller(stopRequested, transport, sessionId, viewerId, connection, errors);

    poller.pollOnce();
    // A second poll of the same reply must not apply a second offer.
    poller.pollOnce();

    FUZZ_CHECK(peer->remoteDescriptions().size() <= 1);
    FUZZ_CHECK(poller.state().remoteDescriptionApplied == !peer->remoteDescriptions().empty());
    for (const auto& candidate : peer->remoteCandidates()) {
        FUZZ_CHECK(!candidate.candidate().starts_with("a="));
    }
    return 0;
}

// The ICE configuration reply, parsed into the connection's server list.

#include "ServerReply.hpp"
#include "session/IceConfiguration.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const rtc::Configuration config = parseIceConfiguration(parseReplyBody(data, size));
        for (const auto& server : config.iceServers) {
            FUZZ_CHECK(!server.hostname.empty());
            FUZZ_CHECK(server.port != 0);
            FUZZ_CHECK(server.type == rtc::IceServer::Type::Turn ||
                       server.relayType == rtc::IceServer::RelayType::TurnUdp ||
                       server.relayType == rtc::IceServer::RelayType::TurnTls);
        }
    } catch (const std::exception&) {
        // A start-up failure with a message, which is what the client does with it.
    }
    return 0;
}

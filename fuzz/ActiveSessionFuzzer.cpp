// The reply to "/game-sessions/active", from which the client takes its session id.

#include "ServerReply.hpp"
#include "app/Startup.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const std::string id = sessionIdFromActiveSessions(parseReplyBody(data, size));
        (void)id;
    } catch (const std::exception&) {
        // A start-up failure with a message.
    }
    return 0;
}

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session/IceConfiguration.hpp"

using nlohmann::json;
using testing::HasSubstr;

namespace {

// Each server as "type host:port user/password", type "stun", "turn-tcp" and so on.
std::vector<std::string> servers(const char* reply) {
    std::vector<std::string> result;
    for (const auto& s : parseIceConfiguration(json::parse(reply)).iceServers) {
        const bool turn = s.type == rtc::IceServer::Type::Turn;
        const char* relays[] = {"-udp", "-tcp", "-tls"};
        result.push_back(std::string(turn ? "turn" : "stun") +
                         (turn ? relays[static_cast<int>(s.relayType)] : "") + " " + s.hostname +
                         ":" + std::to_string(s.port) + " " + s.username + "/" + s.password);
    }
    return result;
}

}  // namespace

TEST(IceConfiguration, everyUrlBecomesAServerWithItsEntrysCredentials) {
    struct Case {
        const char* reply;
        std::vector<std::string> servers;
    };
    const Case cases[] = {
        {R"({"iceServers":[{"urls":"turn:relay.example:3479?transport=tcp","username":"u",
            "credential":"p"}]})",
         {"turn-tcp relay.example:3479 u/p"}},
        {R"({"iceServers":[{"urls":["stun:a.example","turn:b.example","turns:c.example"],"username":"user",
            "credential":"secret","ignored":1}, {"urls":"stun:d.example:19302"}], "other":true})",
         {"stun a.example:3478 user/secret", "turn-udp b.example:3478 user/secret",
          "turn-tls c.example:5349 user/secret", "stun d.example:19302 /"}},
        // Credentials in the URL give way to the entry's, even absent ones.
        {R"({"iceServers":[{"urls":"turn:olduser:oldpass@relay.example"}]})",
         {"turn-udp relay.example:3478 /"}},
        {R"({"iceServers":[]})", {}},
        {R"({"iceServers":null})", {}},
        {R"({"iceServers":[{"urls":null},{"urls":[]},{"urls":"stun:x.example"}]})",
         {"stun x.example:3478 /"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(servers(c.reply), c.servers) << c.reply;
    }
}

// A reply of the wrong shape fails with the JSON library's message; a URL whose meaning would
// change inside the engine's URI fails with the rtc layer's error.
TEST(IceConfiguration, malformedRepliesAndUrlsFail) {
    const std::pair<const char*, const char*> malformed[] = {
        {R"([])", "cannot use at() with array"},
        {R"({})", "key 'iceServers' not found"},
        {R"({"iceServers":[{}]})", "key 'urls' not found"},
        {R"({"iceServers":[{"urls":5}]})", "type must be string, but is number"},
        {R"({"iceServers":[{"urls":"stun:a.example","username":null}]})",
         "type must be string, but is null"},
    };
    for (const auto& [reply, message] : malformed) {
        EXPECT_THAT([&] { parseIceConfiguration(json::parse(reply)); },
                    testing::ThrowsMessage<std::exception>(HasSubstr(message)))
            << reply;
    }
    for (const char* url :
         {"http://a.example", "stun:", "turn:host:99999", "nonsense", "stun:2001:db8::1",
          "stun:a.example#frag", "stun:a%2e.example", "turn:a.example?x=1:3478", "stun:[a.b]",
          "stun:[::1%25eth0]", "stun:a b.example", "stun:[::1"}) {
        json reply = {{"iceServers", {{{"urls", url}}}}};
        EXPECT_THROW(parseIceConfiguration(reply), std::invalid_argument) << url;
    }
}

TEST(LoopbackBindAddress, onlyAServiceOnThisMachineKeepsTheConnectionOnLoopback) {
    EXPECT_EQ(loopbackBindAddressFor("http://127.0.0.1:8080"), "127.0.0.1");
    EXPECT_EQ(loopbackBindAddressFor("http://localhost"), "127.0.0.1");
    EXPECT_EQ(loopbackBindAddressFor("https://user@127.0.0.2:9/api"), "127.0.0.1");
    EXPECT_EQ(loopbackBindAddressFor("http://127.example.com:8080"), std::nullopt);
    EXPECT_EQ(loopbackBindAddressFor("http://localhost.example.com"), std::nullopt);
    EXPECT_EQ(loopbackBindAddressFor(""), std::nullopt);
}

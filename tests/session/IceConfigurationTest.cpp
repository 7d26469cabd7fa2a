#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "session/IceConfiguration.hpp"

using nlohmann::json;
using testing::HasSubstr;

namespace {

std::string failureOf(const json& reply) {
    try {
        parseIceConfiguration(reply);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no failure";
}

}  // namespace

TEST(IceConfiguration, oneUrlStringGivesOneServer) {
    auto config = parseIceConfiguration(json::parse(R"({"iceServers":[
        {"urls":"turn:relay.example:3479?transport=tcp","username":"u","credential":"p"}]})"));
    ASSERT_EQ(config.iceServers.size(), 1u);
    const auto& server = config.iceServers[0];
    EXPECT_EQ(server.hostname, "relay.example");
    EXPECT_EQ(server.port, 3479);
    EXPECT_EQ(server.type, rtc::IceServer::Type::Turn);
    EXPECT_EQ(server.relayType, rtc::IceServer::RelayType::TurnTcp);
    EXPECT_EQ(server.username, "u");
    EXPECT_EQ(server.password, "p");
}

TEST(IceConfiguration, everyUrlOfAServerSharesItsCredentialsInUrlOrder) {
    auto config = parseIceConfiguration(json::parse(R"({"iceServers":[
        {"urls":["stun:a.example","turn:b.example","turns:c.example"],
         "username":"user","credential":"secret","ignored":1},
        {"urls":"stun:d.example:19302"}], "other":true})"));
    ASSERT_EQ(config.iceServers.size(), 4u);
    std::vector<std::string> hosts;
    for (const auto& server : config.iceServers) {
        hosts.push_back(server.hostname);
    }
    EXPECT_EQ(hosts,
              (std::vector<std::string>{"a.example", "b.example", "c.example", "d.example"}));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(config.iceServers[i].username, "user");
        EXPECT_EQ(config.iceServers[i].password, "secret");
    }
    EXPECT_EQ(config.iceServers[3].username, "");
    EXPECT_EQ(config.iceServers[3].port, 19302);
}

TEST(IceConfiguration, absentCredentialsReplaceThoseInTheUrlWithEmptyOnes) {
    auto config = parseIceConfiguration(
        json::parse(R"({"iceServers":[{"urls":"turn:olduser:oldpass@relay.example"}]})"));
    ASSERT_EQ(config.iceServers.size(), 1u);
    EXPECT_EQ(config.iceServers[0].hostname, "relay.example");
    EXPECT_EQ(config.iceServers[0].username, "");
    EXPECT_EQ(config.iceServers[0].password, "");
}

TEST(IceConfiguration, nullOrEmptyListsGiveNoServersWithoutFailing) {
    EXPECT_TRUE(parseIceConfiguration(json::parse(R"({"iceServers":[]})")).iceServers.empty());
    EXPECT_TRUE(parseIceConfiguration(json::parse(R"({"iceServers":null})")).iceServers.empty());
    auto config = parseIceConfiguration(
        json::parse(R"({"iceServers":[{"urls":null},{"urls":[]},{"urls":"stun:x.example"}]})"));
    ASSERT_EQ(config.iceServers.size(), 1u);
    EXPECT_EQ(config.iceServers[0].hostname, "x.example");
}

TEST(IceConfiguration, onlyTheServerListIsFilled) {
    auto config = parseIceConfiguration(json::parse(R"({"iceServers":[]})"));
    rtc::Configuration defaults;
    EXPECT_EQ(config.videoCodec, defaults.videoCodec);
    EXPECT_EQ(config.bindAddress, defaults.bindAddress);
    EXPECT_EQ(config.alsoGatherOn, defaults.alsoGatherOn);
}

TEST(IceConfiguration, malformedRepliesFailWithTheJsonLibrarysMessages) {
    struct Case {
        const char* reply;
        const char* message;
    };
    const Case cases[] = {
        {R"([])", "cannot use at() with array"},
        {R"(null)", "cannot use at() with null"},
        {R"({})", "key 'iceServers' not found"},
        {R"({"iceServers":[{}]})", "key 'urls' not found"},
        {R"({"iceServers":["stun:a.example"]})", "cannot use at() with string"},
        {R"({"iceServers":[{"urls":5}]})", "type must be string, but is number"},
        {R"({"iceServers":[{"urls":["stun:a.example",null]}]})",
         "type must be string, but is null"},
        {R"({"iceServers":[{"urls":"stun:a.example","username":null}]})",
         "type must be string, but is null"},
        {R"({"iceServers":[{"urls":"stun:a.example","credential":7}]})",
         "type must be string, but is number"},
    };
    for (const auto& c : cases) {
        EXPECT_THAT(failureOf(json::parse(c.reply)), HasSubstr(c.message)) << c.reply;
    }
}

TEST(IceConfiguration, bracketedIpv6HostIsKeptWithoutItsBrackets) {
    auto config = parseIceConfiguration(
        json::parse(R"({"iceServers":[{"urls":"turn:[2001:db8::1]:3479?transport=tcp"}]})"));
    ASSERT_EQ(config.iceServers.size(), 1u);
    EXPECT_EQ(config.iceServers[0].hostname, "2001:db8::1");
    EXPECT_EQ(config.iceServers[0].port, 3479);
}

// The host reaches the engine inside a URI: anything that would change that URI's meaning
// is refused rather than passed on.
TEST(IceConfiguration, unparsableUrlFailsWithTheRtcLayersError) {
    for (const char* url :
         {"http://a.example", "stun:", "turn:host:99999", "nonsense", "stun:2001:db8::1",
          "stun:a.example#frag", "stun:a%2e.example", "turn:a.example?x=1:3478", "stun:[a.b]",
          "stun:[::1%25eth0]", "stun:a b.example", "stun:[::1"}) {
        json reply = {{"iceServers", {{{"urls", url}}}}};
        EXPECT_THROW(parseIceConfiguration(reply), std::invalid_argument) << url;
    }
}

TEST(IceConfiguration, fetchAsksTheSessionsConfigPath) {
    std::vector<std::string> paths;
    auto config = fetchIceConfiguration(
        [&](const std::string& path) {
            paths.push_back(path);
            return json::parse(R"({"iceServers":[{"urls":"stun:a.example"}]})");
        },
        "abc");
    EXPECT_EQ(paths, std::vector<std::string>{"/game-sessions/abc/webrtc/config"});
    EXPECT_EQ(config.iceServers.size(), 1u);
}

TEST(LoopbackBindAddress, onlyAServiceOnThisMachineKeepsTheConnectionOnLoopback) {
    EXPECT_EQ(loopbackBindAddressFor("http://127.0.0.1:8080"), "127.0.0.1");
    EXPECT_EQ(loopbackBindAddressFor("http://localhost"), "127.0.0.1");
    EXPECT_EQ(loopbackBindAddressFor("https://user@127.0.0.2:9/api"), "127.0.0.1");
    EXPECT_EQ(loopbackBindAddressFor("https://api.quorvanta.example"), std::nullopt);
    EXPECT_EQ(loopbackBindAddressFor("http://127.example.com:8080"), std::nullopt);
    EXPECT_EQ(loopbackBindAddressFor("http://localhost.example.com"), std::nullopt);
    EXPECT_EQ(loopbackBindAddressFor(""), std::nullopt);
}

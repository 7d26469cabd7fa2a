#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "api/ApiClient.hpp"
#include "api/CurlGlobal.hpp"
#include "api/RedirectPolicy.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/TempDir.hpp"
#include "support/WaitFor.hpp"

namespace {

using nlohmann::json;

// "/reply/<status>?body=<text>" answers that status and text; "/moved/<status>/<rest>" sends
// the client on to "/<rest>" with that status; "/auth/login" answers loginStatus and loginBody.
// Each request is noted as "METHOD target [authorization] {content type} body".
class ApiClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const httplib::Server::Handler reply = [this](const auto& req, auto& res) {
            note(req);
            res.status = std::stoi(req.matches[1]);
            res.set_content(req.get_param_value("body"), "text/plain");
        };
        const httplib::Server::Handler move = [](const auto& req, auto& res) {
            res.status = std::stoi(req.matches[1]);
            res.set_header("Location", "/" + std::string(req.matches[2]) +
                                           "?body=" + req.get_param_value("body"));
        };
        for (const auto& [pattern, handler] :
             {std::pair{R"(/reply/(\d+))", reply}, std::pair{R"(/moved/(\d+)/(.+))", move}}) {
            server.server.Get(pattern, handler);
            server.server.Post(pattern, handler);
        }
        server.server.Post("/auth/login", [this](const auto& req, auto& res) {
            note(req);
            std::lock_guard lock(mutex);
            res.status = loginStatus;
            res.set_content(loginBody, "application/json");
        });
        server.start();
    }

    void note(const httplib::Request& req) {
        std::lock_guard lock(mutex);
        seen.push_back(req.method + " " + req.target + " [" +
                       req.get_header_value("Authorization") + "] {" +
                       req.get_header_value("Content-Type") + "} " + req.body);
    }

    std::string last() {
        std::lock_guard lock(mutex);
        return seen.empty() ? "" : seen.back();
    }

    ApiClient client(const std::string& baseUrl) {
        return ApiClient(baseUrl, logFile.log, stopRequested);
    }

    ApiClient loggedIn() {
        ApiClient api = client(server.baseUrl());
        std::string error;
        EXPECT_TRUE(api.login("a@b.c", "pw", error)) << error;
        return api;
    }

    CurlGlobal curl;
    TempLog logFile;  // the client writes a line only for a request that got no answer
    std::atomic<bool> stopRequested{false};
    std::mutex mutex;
    std::vector<std::string> seen;
    int loginStatus = 200;
    std::string loginBody = R"({"access_token":"tok-1"})";
    LocalHttpServer server;  // last: stopped before the state its handlers use goes away
};

// The result of a call, or the message of what it threw.
template <typename Call>
std::string outcome(Call call) {
    try {
        return call().dump();
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST_F(ApiClientTest, requestsCarryTheTokenAndCompactJsonAndOnly2xxSucceeds) {
    ApiClient api = loggedIn();
    const std::string bearer = " [Bearer tok-1] {} ";
    const std::string posted = " [Bearer tok-1] {application/json} {\"a\":\"ü\",\"b\":1}";
    struct Case {
        std::string method, path, result, seen;
    };
    const std::vector<Case> cases = {
        // The caller's query goes out as given, not escaped.
        {"GET", "/reply/200?body=[1,2]&after=3", "[1,2]",
         "GET /reply/200?body=[1,2]&after=3" + bearer},
        {"POST", "/reply/299?body=true", "true", "POST /reply/299?body=true" + posted},
        {"GET", "/reply/300?body=moved", "GET /reply/300?body=moved HTTP 300: moved", ""},
        {"GET", "/reply/204", "[json.exception.parse_error.101]", ""},
        // Moved APIs keep the method, the body and the token, whatever the status says;
        // failures name the path the caller asked for.
        {"POST", "/moved/303/reply/200?body=7", "7", "POST /reply/200?body=7" + posted},
        {"GET", "/moved/308/moved/301/reply/404?body=gone",
         "GET /moved/308/moved/301/reply/404?body=gone HTTP 404: gone",
         "GET /reply/404?body=gone" + bearer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method + " " + c.path);
        const std::string result = outcome([&] {
            return c.method == "GET" ? api.get(c.path)
                                     : api.postJson(c.path, {{"b", 1}, {"a", "ü"}});
        });
        EXPECT_EQ(result.substr(0, c.result.size()), c.result);
        if (!c.seen.empty()) {
            EXPECT_EQ(last(), c.seen);
        }
    }
    EXPECT_EQ(client(server.baseUrl() + "///").baseUrl(), server.baseUrl());
}

TEST_F(ApiClientTest, loginSendsOnlyTheCredentialsAndKeepsTheTokenItGets) {
    ApiClient api = client(server.baseUrl());
    std::string error;
    ASSERT_TRUE(api.login("user@example.com", "se\"cret", error)) << error;
    EXPECT_EQ(api.token(), "tok-1");
    EXPECT_EQ(
        last(),
        R"(POST /auth/login [] {application/json} {"email":"user@example.com","password":"se\"cret"})");
    // Also a second login, now that a token exists.
    ASSERT_TRUE(api.login("user@example.com", "x", error)) << error;
    EXPECT_EQ(last().find("POST /auth/login [] "), 0u);
    // Text that is not UTF-8 throws before anything is sent.
    const std::string before = last();
    EXPECT_THROW(api.login("a@b.c", std::string("pass\xFF"), error), json::type_error);
    EXPECT_EQ(last(), before);

    const std::vector<std::tuple<int, std::string, std::string>> failures = {
        {202, R"({"access_token":"t"})", "Login failed: HTTP 202"},
        {200, R"({"token":"t"})", "[json.exception.out_of_range.403] key 'access_token' not found"},
        {200, R"({"access_token":5})",
         "[json.exception.type_error.302] type must be string, but is number"},
    };
    for (const auto& [status, body, message] : failures) {
        SCOPED_TRACE(body);
        {
            std::lock_guard lock(mutex);
            loginStatus = status;
            loginBody = body;
        }
        ApiClient fresh = client(server.baseUrl());
        EXPECT_FALSE(fresh.login("a", "b", error));
        EXPECT_EQ(error.substr(0, message.size()), message);
        EXPECT_EQ(fresh.token(), "");
    }
}

TEST(RedirectPolicy, neverDowngradesFromHttpsAndKeepsTheTokenToItsOrigin) {
    const std::string otherScheme = "redirect to a scheme other than http or https";
    // From, to, the refusal (empty: followed) and whether the token may go along.
    const std::vector<std::tuple<std::string, std::string, std::string, bool>> cases = {
        {"http://h:8080/a", "http://h:8080/b", "", true},
        {"http://h/a", "HTTP://H:80/b", "", true},
        {"http://h/a", "https://h/b", "", false},
        {"https://h/a", "https://h:443/b", "", true},
        {"https://h/a", "http://h/b", "redirect from https to plain http", false},
        {"http://h:8080/a", "http://h:8081/a", "", false},
        {"http://h/a", "http://g/a", "", false},
        {"http://h/a", "ftp://h/a", otherScheme, false},
    };
    for (const auto& [from, to, refusal, tokenGoes] : cases) {
        SCOPED_TRACE(from + " -> " + to);
        EXPECT_EQ(redirectRefusal(from, to), refusal);
        EXPECT_EQ(sameOrigin(from, to), tokenGoes);
    }
}

// No answer is status 0, with one log line naming the path without its query and the reason;
// the token goes only to its own origin.
TEST_F(ApiClientTest, badRedirectsNoAnswerSlowOrOversizedBodyAndStopAreStatusZeroWithTheirReason) {
    LocalHttpServer other;  // a port of its own makes it another origin
    other.server.Get("/elsewhere", [](const auto& req, auto& res) {
        res.set_content(json(req.get_header_value("Authorization")).dump(), "application/json");
    });
    other.start();
    std::atomic<int> hops{0};
    server.server.Get("/away", [&](const auto&, auto& res) {
        res.set_redirect(other.baseUrl() + "/elsewhere", 302);
    });
    server.server.Get("/loop", [&](const auto&, auto& res) {
        ++hops;
        res.set_redirect("/loop", 302);
    });
    server.server.Get("/to-file",
                      [](const auto&, auto& res) { res.set_redirect("file:///etc/passwd", 301); });
    // A JSON string of the length asked for, quotes included.
    server.server.Get(R"(/sized/(\d+))", [](const auto& req, auto& res) {
        const std::string text(std::stoul(req.matches[1]) - 2, 'x');
        res.set_content("\"" + text + "\"", "application/json");
    });
    server.server.Get("/slow", [this](const auto&, auto& res) {
        waitFor([this] { return stopRequested.load(); }, std::chrono::seconds(11));
        res.set_content("{}", "application/json");
    });
    LocalHttpServer closed;
    closed.start();
    const std::string deadUrl = closed.baseUrl();
    closed.stop();
    ApiClient api = loggedIn();
    const std::size_t large = ApiClient::largeReplyLimit;

    EXPECT_EQ(api.get("/away"), json("")) << "the token went to another origin";
    EXPECT_EQ(api.get("/sized/327680", large).get<std::string>().size(), large - 2);
    struct Case {
        ApiClient caller;
        std::string path, logged;
    };
    const std::vector<Case> noAnswers = {
        {client(deadUrl), "/x?token=secret", "GET /x: .*onnect.*"},
        {client("file:///etc"), "/passwd", "GET /passwd: .+"},
        {api, "/loop?n=1", "GET /loop: more than 50 redirects"},
        {api, "/to-file", "GET /to-file: redirect to a scheme other than http or https"},
        {api, "/slow", "GET /slow: .*timed out.*"},
        {api, "/sized/327681", "GET /sized/327681: response body larger than 327680 bytes"},
    };
    std::vector<testing::Matcher<std::string>> logged;
    for (const Case& c : noAnswers) {
        EXPECT_EQ(outcome([&] { return c.caller.get(c.path, large); }),
                  "GET " + c.path + " HTTP 0: ");
        logged.push_back(testing::MatchesRegex("http_error=" + c.logged));
    }
    EXPECT_EQ(hops.load(), 51);  // the request and 50 redirects
    // Once the client is stopping nothing more is sent.
    const std::string sent = last();
    stopRequested = true;
    EXPECT_EQ(outcome([&] { return api.get("/reply/200?body=1"); }),
              "GET /reply/200?body=1 HTTP 0: ");
    EXPECT_EQ(last(), sent);
    logged.push_back(testing::Eq("http_error=GET /reply/200: cancelled, the client is stopping"));
    EXPECT_THAT(logFile.lines(), testing::ElementsAreArray(logged));
}

}  // namespace

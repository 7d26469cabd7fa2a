#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/ApiClient.hpp"
#include "api/CurlGlobal.hpp"
#include "support/LocalHttpServer.hpp"

namespace {

using nlohmann::json;

// What the server saw of the last request.
struct SeenRequest {
    std::string method;
    std::string target;
    std::string body;
    bool hasAuthorization = false;
    std::string authorization;
    std::string contentType;
};

class ApiClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Every test's routes: "/reply/<status>" answers that status with the body given in
        // the "body" query value; "/auth/login" answers what loginStatus and loginBody say.
        server.server.Get(R"(/reply/(\d+))", [this](const auto& req, auto& res) {
            record(req);
            res.status = std::stoi(req.matches[1]);
            res.set_content(req.get_param_value("body"), "text/plain");
        });
        server.server.Post(R"(/reply/(\d+))", [this](const auto& req, auto& res) {
            record(req);
            res.status = std::stoi(req.matches[1]);
            res.set_content(req.get_param_value("body"), "text/plain");
        });
        server.server.Post("/auth/login", [this](const auto& req, auto& res) {
            record(req);
            std::lock_guard lock(mutex);
            res.status = loginStatus;
            res.set_content(loginBody, "application/json");
        });
        server.start();
    }

    void record(const httplib::Request& req) {
        std::lock_guard lock(mutex);
        ++requestCount;
        seen.method = req.method;
        seen.target = req.target;
        seen.body = req.body;
        seen.hasAuthorization = req.has_header("Authorization");
        seen.authorization = req.get_header_value("Authorization");
        seen.contentType = req.get_header_value("Content-Type");
    }

    SeenRequest lastRequest() {
        std::lock_guard lock(mutex);
        return seen;
    }

    void answerLogin(int status, std::string body) {
        std::lock_guard lock(mutex);
        loginStatus = status;
        loginBody = std::move(body);
    }

    ApiClient loggedInClient() {
        ApiClient api(server.baseUrl());
        answerLogin(200, R"({"access_token":"tok-1"})");
        std::string error;
        EXPECT_TRUE(api.login("a@b.c", "pw", error)) << error;
        return api;
    }

    CurlGlobal curl;
    std::mutex mutex;
    SeenRequest seen;
    int requestCount = 0;
    int loginStatus = 200;
    std::string loginBody;
    LocalHttpServer server;  // last: stopped before the state its handlers use goes away
};

// The message of the runtime_error that `call` throws, or a note that it did not throw.
template <typename Call>
std::string runtimeErrorOf(Call call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no runtime_error>";
}

TEST_F(ApiClientTest, trailingSlashesAreStrippedAndPathIsAppendedUnchanged) {
    ApiClient api(server.baseUrl() + "///");
    EXPECT_EQ(api.baseUrl(), server.baseUrl());
    EXPECT_EQ(ApiClient("/").baseUrl(), "");
    EXPECT_EQ(ApiClient("http://h/a/").baseUrl(), "http://h/a");

    answerLogin(200, R"({"access_token":"t"})");
    std::string error;
    ASSERT_TRUE(api.login("e", "p", error)) << error;
    EXPECT_EQ(lastRequest().target, "/auth/login");

    // The query is the caller's and goes out as given, not escaped.
    api.get("/reply/200?body={}&after=3&viewerId=native-1");
    EXPECT_EQ(lastRequest().target, "/reply/200?body={}&after=3&viewerId=native-1");
}

TEST_F(ApiClientTest, requestsCarryBearerTokenAndCompactJson) {
    ApiClient api = loggedInClient();

    api.get("/reply/200?body=1");
    SeenRequest get = lastRequest();
    EXPECT_EQ(get.method, "GET");
    EXPECT_EQ(get.authorization, "Bearer tok-1");

    api.postJson("/reply/200?body=1",
                 json{{"width", 1280}, {"codec", "hevc"}, {"name", "Mikrofon ü"}});
    SeenRequest post = lastRequest();
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.authorization, "Bearer tok-1");
    EXPECT_EQ(post.contentType, "application/json");
    EXPECT_EQ(post.body, "{\"codec\":\"hevc\",\"name\":\"Mikrofon \xC3\xBC\",\"width\":1280}");
}

TEST_F(ApiClientTest, successRangeIs200To299ForGetAndPost) {
    ApiClient api = loggedInClient();
    EXPECT_EQ(api.get("/reply/200?body=[1,2]"), json::array({1, 2}));
    EXPECT_EQ(api.get("/reply/299?body={\"a\":1}"), json({{"a", 1}}));
    EXPECT_EQ(api.postJson("/reply/299?body=true", json::object()), json(true));

    EXPECT_EQ(runtimeErrorOf([&] { api.get("/reply/300?body=moved"); }),
              "GET /reply/300?body=moved HTTP 300: moved");
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/reply/404?body=no%20such%20thing"); }),
              "GET /reply/404?body=no%20such%20thing HTTP 404: no such thing");
    EXPECT_EQ(runtimeErrorOf([&] { api.postJson("/reply/500", json::object()); }),
              "POST /reply/500 HTTP 500: ");
    EXPECT_EQ(runtimeErrorOf([&] { api.postJson("/reply/403?body=x", json::object()); }),
              "POST /reply/403?body=x HTTP 403: x");
}

TEST_F(ApiClientTest, successWithoutJsonBodyThrowsParseError) {
    ApiClient api = loggedInClient();
    EXPECT_THROW(api.get("/reply/204"), json::parse_error);
    EXPECT_THROW(api.postJson("/reply/204", json::object()), json::parse_error);
    EXPECT_THROW(api.get("/reply/200?body=not-json"), json::parse_error);
    // Comments are not JSON.
    EXPECT_THROW(api.get("/reply/200?body=/*c*/1"), json::parse_error);
}

TEST_F(ApiClientTest, redirectsAreNotFollowed) {
    server.server.Get("/moved",
                      [](const auto&, auto& res) { res.set_redirect("/reply/200?body=1"); });
    ApiClient api = loggedInClient();
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/moved"); }), "GET /moved HTTP 302: ");
}

TEST_F(ApiClientTest, loginSendsCredentialsWithoutAuthorization) {
    ApiClient api(server.baseUrl());
    answerLogin(201, R"({"access_token":"fresh"})");
    std::string error;
    ASSERT_TRUE(api.login("user@example.com", "se\"cret", error)) << error;
    EXPECT_EQ(api.token(), "fresh");

    SeenRequest login = lastRequest();
    EXPECT_EQ(login.body, R"({"email":"user@example.com","password":"se\"cret"})");
    EXPECT_EQ(login.contentType, "application/json");
    EXPECT_FALSE(login.hasAuthorization);

    // Also a second login, now that a token exists.
    answerLogin(200, R"({"access_token":""})");
    ASSERT_TRUE(api.login("user@example.com", "x", error)) << error;
    EXPECT_FALSE(lastRequest().hasAuthorization);
    EXPECT_EQ(api.token(), "");  // an empty token is still a token
}

TEST_F(ApiClientTest, loginFailuresReportStatusOrJsonErrorAndKeepNoToken) {
    struct Case {
        int status;
        std::string body;
        std::string expectedError;  // prefix of the error text
        std::string mustContain;
    };
    const std::vector<Case> cases = {
        {202, R"({"access_token":"t"})", "Login failed: HTTP 202", ""},
        {401, R"({"access_token":"t"})", "Login failed: HTTP 401", ""},
        {204, "", "Login failed: HTTP 204", ""},
        {200, R"({"token":"t"})", "[json.exception.", "key 'access_token' not found"},
        {200, R"({"access_token":5})", "[json.exception.", "type must be string, but is number"},
        {200, "<html>", "[json.exception.parse_error", ""},
        {200, "[]", "[json.exception.", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.body);
        ApiClient api(server.baseUrl());
        answerLogin(c.status, c.body);
        std::string error;
        EXPECT_FALSE(api.login("a", "b", error));
        EXPECT_EQ(error.rfind(c.expectedError, 0), 0u) << error;
        if (c.expectedError.rfind("Login", 0) == 0) {
            EXPECT_EQ(error, c.expectedError);  // the body is never part of it
        }
        EXPECT_NE(error.find(c.mustContain), std::string::npos) << error;
        EXPECT_EQ(api.token(), "");
    }
}

TEST_F(ApiClientTest, invalidUtf8CredentialsThrowBeforeAnythingIsSent) {
    ApiClient api(server.baseUrl());
    std::string error;
    try {
        api.login("a@b.c", std::string("pass\xFF"), error);
        ADD_FAILURE() << "login returned instead of throwing";
    } catch (const json::type_error& e) {
        EXPECT_NE(std::string(e.what()).find("invalid UTF-8 byte at index "), std::string::npos);
    }
    EXPECT_THROW(api.login(std::string("\xC3"), "p", error), json::type_error);
    std::lock_guard lock(mutex);
    EXPECT_EQ(requestCount, 0);
}

TEST_F(ApiClientTest, noAnswerIsReportedAsStatusZero) {
    ApiClient api = loggedInClient();
    LocalHttpServer closed;
    closed.start();
    const std::string deadUrl = closed.baseUrl();
    closed.stop();

    ApiClient unreachable(deadUrl);
    std::string error;
    EXPECT_FALSE(unreachable.login("a", "b", error));
    EXPECT_EQ(error, "Login failed: HTTP 0");

    ApiClient refused(deadUrl);
    EXPECT_EQ(runtimeErrorOf([&] { refused.get("/x"); }), "GET /x HTTP 0: ");
    EXPECT_EQ(runtimeErrorOf([&] { refused.postJson("/y", json::object()); }), "POST /y HTTP 0: ");
    // A scheme that is not HTTP is refused, not opened.
    EXPECT_EQ(runtimeErrorOf([] { ApiClient("file:///etc").get("/passwd"); }),
              "GET /passwd HTTP 0: ");
}

TEST_F(ApiClientTest, serverSlowerThanTenSecondsIsStatusZero) {
    std::mutex gateMutex;
    std::condition_variable gate;
    bool released = false;
    // Answers after 11 s, or at once when released, so the test does not wait for it.
    server.server.Get("/slow", [&](const auto&, auto& res) {
        std::unique_lock lock(gateMutex);
        gate.wait_for(lock, std::chrono::seconds(11), [&] { return released; });
        res.set_content("{}", "application/json");
    });
    ApiClient api = loggedInClient();

    const std::string message = runtimeErrorOf([&] { api.get("/slow"); });
    {
        std::lock_guard lock(gateMutex);
        released = true;
    }
    gate.notify_all();
    EXPECT_EQ(message, "GET /slow HTTP 0: ");
}

TEST_F(ApiClientTest, requestsRunConcurrentlyFromSeveralThreads) {
    const ApiClient api = loggedInClient();
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                const json reply = api.get("/reply/200?body=" + std::to_string(t * 100 + i));
                if (reply == json(t * 100 + i)) {
                    ++succeeded;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(succeeded.load(), 40);
}

}  // namespace

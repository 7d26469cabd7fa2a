#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/ApiClient.hpp"
#include "api/CurlGlobal.hpp"
#include "api/HttpRequest.hpp"
#include "api/RedirectPolicy.hpp"
#include "base/EventLog.hpp"
#include "support/LocalHttpServer.hpp"
#include "support/TempDir.hpp"
#include "support/WaitFor.hpp"

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
    std::string userAgent;
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
        seen.userAgent = req.get_header_value("User-Agent");
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

    ApiClient client(const std::string& baseUrl) { return ApiClient(baseUrl, log, stopRequested); }

    // The "http_error=" lines written so far.
    std::vector<std::string> httpErrors() const {
        std::vector<std::string> lines;
        std::istringstream text(readWholeFile(folder.path() / "client.log"));
        for (std::string line; std::getline(text, line);) {
            if (line.rfind("http_error=", 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    ApiClient loggedInClient() {
        ApiClient api = client(server.baseUrl());
        answerLogin(200, R"({"access_token":"tok-1"})");
        std::string error;
        EXPECT_TRUE(api.login("a@b.c", "pw", error)) << error;
        return api;
    }

    CurlGlobal curl;
    TempDir folder;
    EventLog log{folder.path() / "client.log"};
    std::atomic<bool> stopRequested{false};
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
    ApiClient api = client(server.baseUrl() + "///");
    EXPECT_EQ(api.baseUrl(), server.baseUrl());
    EXPECT_EQ(client("/").baseUrl(), "");
    EXPECT_EQ(client("http://h/a/").baseUrl(), "http://h/a");

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
    EXPECT_EQ(get.userAgent, "quorvanta-client/" QV_VERSION);

    api.postJson("/reply/200?body=1",
                 json{{"width", 1280}, {"codec", "hevc"}, {"name", "Mikrofon ü"}});
    SeenRequest post = lastRequest();
    EXPECT_EQ(post.method, "POST");
    EXPECT_EQ(post.authorization, "Bearer tok-1");
    EXPECT_EQ(post.contentType, "application/json");
    EXPECT_EQ(post.userAgent, "quorvanta-client/" QV_VERSION);
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

TEST_F(ApiClientTest, apiMovedBehindARedirectKeepsPostBodyAndToken) {
    // "/moved/<status>/<rest>" answers that status with the Location "/<rest>".
    const auto move = [](const httplib::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.matches[1]);
        res.set_header("Location",
                       "/" + std::string(req.matches[2]) + "?body=" + req.get_param_value("body"));
    };
    server.server.Get(R"(/moved/(\d+)/(.+))", move);
    server.server.Post(R"(/moved/(\d+)/(.+))", move);
    ApiClient api = loggedInClient();

    for (const int status : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(status);
        const std::string hop = "/moved/" + std::to_string(status);
        EXPECT_EQ(api.postJson(hop + "/reply/200?body=7", json{{"a", 1}}), json(7));
        const SeenRequest post = lastRequest();
        EXPECT_EQ(post.method, "POST");
        EXPECT_EQ(post.body, R"({"a":1})");
        EXPECT_EQ(post.authorization, "Bearer tok-1");
        EXPECT_EQ(post.userAgent, "quorvanta-client/" QV_VERSION);

        EXPECT_EQ(api.get(hop + "/reply/200?body=8"), json(8));
        EXPECT_EQ(lastRequest().method, "GET");
    }
    // Chained hops count as one request; failures name the path the caller asked for.
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/moved/301/moved/302/reply/404?body=gone"); }),
              "GET /moved/301/moved/302/reply/404?body=gone HTTP 404: gone");

    answerLogin(200, R"({"access_token":"tok-2"})");
    server.server.Post("/old/auth/login",
                       [](const auto&, auto& res) { res.set_redirect("/auth/login", 301); });
    std::string error;
    ASSERT_TRUE(client(server.baseUrl() + "/old").login("a@b.c", "pw", error)) << error;
    EXPECT_EQ(lastRequest().method, "POST");
    EXPECT_EQ(lastRequest().body, R"({"email":"a@b.c","password":"pw"})");
}

TEST_F(ApiClientTest, tokenIsNotHandedToAnotherHostOnRedirect) {
    LocalHttpServer other;
    std::mutex otherMutex;
    std::vector<std::string> otherAuthorization;
    other.server.Get("/elsewhere", [&](const auto& req, auto& res) {
        std::lock_guard lock(otherMutex);
        otherAuthorization.push_back(
            req.has_header("Authorization") ? req.get_header_value("Authorization") : "<none>");
        res.set_content("1", "application/json");
    });
    other.start();
    // A port of its own makes it another origin; back on the first one the token is its again.
    server.server.Get("/away", [&](const auto&, auto& res) {
        res.set_redirect(other.baseUrl() + "/elsewhere", 302);
    });
    server.server.Get("/away-and-back", [&](const auto&, auto& res) {
        res.set_redirect(server.baseUrl() + "/reply/200?body=2", 302);
    });
    ApiClient api = loggedInClient();

    EXPECT_EQ(api.get("/away"), json(1));
    EXPECT_EQ(api.get("/away-and-back"), json(2));
    EXPECT_EQ(lastRequest().authorization, "Bearer tok-1");
    std::lock_guard lock(otherMutex);
    EXPECT_EQ(otherAuthorization, std::vector<std::string>{"<none>"});
}

TEST_F(ApiClientTest, redirectLoopsAndForeignSchemesEndAsNoAnswer) {
    std::atomic<int> hops{0};
    server.server.Get("/loop", [&](const auto&, auto& res) {
        ++hops;
        res.set_redirect("/loop", 302);
    });
    server.server.Get("/to-file",
                      [](const auto&, auto& res) { res.set_redirect("file:///etc/passwd", 301); });
    ApiClient api = loggedInClient();

    EXPECT_EQ(runtimeErrorOf([&] { api.get("/loop?n=1"); }), "GET /loop?n=1 HTTP 0: ");
    EXPECT_EQ(hops.load(), 51);  // the request and 50 redirects
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/to-file"); }), "GET /to-file HTTP 0: ");
    EXPECT_EQ(httpErrors(), (std::vector<std::string>{
                                "http_error=GET /loop: more than 50 redirects",
                                "http_error=GET /to-file: redirect to a scheme other than http "
                                "or https",
                            }));
}

TEST(RedirectPolicy, neverDowngradesFromHttpsAndKeepsTheTokenToItsOrigin) {
    struct Case {
        std::string from, to, refusal;
        bool sameOrigin;
    };
    const std::vector<Case> cases = {
        {"http://h:8080/a", "http://h:8080/b", "", true},
        {"http://h/a", "HTTP://H:80/b", "", true},
        {"http://h/a", "https://h/b", "", false},
        {"https://h/a", "https://h:443/b", "", true},
        {"https://h/a", "http://h/b", "redirect from https to plain http", false},
        {"http://h:8080/a", "http://h:8081/a", "", false},
        {"http://h/a", "http://g/a", "", false},
        {"http://h/a", "ftp://h/a", "redirect to a scheme other than http or https", false},
        {"https://h/a", "file:///etc/passwd", "redirect to a scheme other than http or https",
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.from + " -> " + c.to);
        EXPECT_EQ(redirectRefusal(c.from, c.to), c.refusal);
        EXPECT_EQ(sameOrigin(c.from, c.to), c.sameOrigin);
    }
}

TEST_F(ApiClientTest, loginSendsCredentialsWithoutAuthorization) {
    ApiClient api = client(server.baseUrl());
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
        ApiClient api = client(server.baseUrl());
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
    ApiClient api = client(server.baseUrl());
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

TEST_F(ApiClientTest, noAnswerIsReportedAsStatusZeroAndExplainedInTheLog) {
    LocalHttpServer closed;
    closed.start();
    const std::string deadUrl = closed.baseUrl();
    closed.stop();

    ApiClient unreachable = client(deadUrl);
    std::string error;
    EXPECT_FALSE(unreachable.login("a", "b", error));
    EXPECT_EQ(error, "Login failed: HTTP 0");

    EXPECT_EQ(runtimeErrorOf([&] { unreachable.get("/x?token=secret"); }),
              "GET /x?token=secret HTTP 0: ");
    EXPECT_EQ(runtimeErrorOf([&] { unreachable.postJson("/y", json::object()); }),
              "POST /y HTTP 0: ");
    // A scheme that is not HTTP is refused, not opened.
    EXPECT_EQ(runtimeErrorOf([&] { client("file:///etc").get("/passwd"); }),
              "GET /passwd HTTP 0: ");

    // One line per request, with libcurl's reason and the path without its query.
    const std::vector<std::string> lines = httpErrors();
    ASSERT_EQ(lines.size(), 4u);
    const std::vector<std::string> prefixes = {
        "http_error=POST /auth/login: ", "http_error=GET /x: ", "http_error=POST /y: ",
        "http_error=GET /passwd: "};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(prefixes[i], 0), 0u) << lines[i];
        EXPECT_GT(lines[i].size(), prefixes[i].size()) << "no reason given";
    }
    EXPECT_NE(lines[0].find("onnect"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].find("secret"), std::string::npos) << lines[1];
}

TEST_F(ApiClientTest, endlessBodyFailsAtItsLimitInsteadOfFillingMemory) {
    const auto endless = [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("application/json", [](size_t, httplib::DataSink& sink) {
            const std::string block(16 * 1024, ' ');
            return sink.write(block.data(), block.size());  // false once the client is gone
        });
    };
    server.server.Get("/endless", endless);
    server.server.Post("/endless/auth/login", endless);
    // Declared up front, a size over the limit is refused before any of it is read.
    server.server.Get("/declared", [](const auto&, auto& res) {
        res.set_content(std::string(ApiClient::largeReplyLimit + 1, ' '), "application/json");
    });
    server.server.Get("/largest", [](const auto&, auto& res) {
        res.set_content("\"" + std::string(ApiClient::largeReplyLimit - 2, 'x') + "\"",
                        "application/json");
    });
    ApiClient api = client(server.baseUrl());

    std::string error;
    EXPECT_FALSE(client(server.baseUrl() + "/endless").login("a", "b", error));
    EXPECT_EQ(error, "Login failed: HTTP 0");
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/endless"); }), "GET /endless HTTP 0: ");
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/endless?n=2", ApiClient::largeReplyLimit); }),
              "GET /endless?n=2 HTTP 0: ");
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/declared", ApiClient::largeReplyLimit); }),
              "GET /declared HTTP 0: ");
    EXPECT_EQ(api.get("/largest", ApiClient::largeReplyLimit).get<std::string>().size(),
              ApiClient::largeReplyLimit - 2);

    const std::string small = std::to_string(ApiClient::replyLimit);
    const std::string large = std::to_string(ApiClient::largeReplyLimit);
    EXPECT_EQ(httpErrors(),
              (std::vector<std::string>{
                  "http_error=POST /auth/login: response body larger than " + small + " bytes",
                  "http_error=GET /endless: response body larger than " + small + " bytes",
                  "http_error=GET /endless: response body larger than " + large + " bytes",
                  "http_error=GET /declared: response body larger than " + large + " bytes",
              }));
}

TEST_F(ApiClientTest, stopEndsARequestInFlightAndSendsNoMore) {
    std::mutex gateMutex;
    std::condition_variable gate;
    bool arrived = false;
    bool released = false;
    // Holds the request until the test ends: only the stop can end it on the client's side.
    server.server.Post("/held", [&](const auto&, auto& res) {
        std::unique_lock lock(gateMutex);
        arrived = true;
        gate.notify_all();
        gate.wait(lock, [&] { return released; });
        res.set_content("{}", "application/json");
    });
    ApiClient api = loggedInClient();

    std::thread stopper([&] {
        std::unique_lock lock(gateMutex);
        gate.wait_for(lock, std::chrono::seconds(20), [&] { return arrived; });
        stopRequested = true;
    });
    const std::string message = runtimeErrorOf([&] { api.postJson("/held", json::object()); });
    stopper.join();
    {
        std::lock_guard lock(gateMutex);
        released = true;
    }
    gate.notify_all();
    EXPECT_EQ(message, "POST /held HTTP 0: ");

    const int before = [&] {
        std::lock_guard lock(mutex);
        return requestCount;
    }();
    EXPECT_EQ(runtimeErrorOf([&] { api.get("/reply/200?body=1"); }),
              "GET /reply/200?body=1 HTTP 0: ");
    EXPECT_EQ(httpErrors(), (std::vector<std::string>{
                                "http_error=POST /held: cancelled, the client is stopping",
                                "http_error=GET /reply/200: cancelled, the client is stopping",
                            }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(requestCount, before);
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
    ASSERT_EQ(httpErrors().size(), 1u);
    EXPECT_NE(httpErrors()[0].find("timed out"), std::string::npos) << httpErrors()[0];
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

// The network test with the service's status reply taken from the input; every other request
// succeeds. Whatever the reply, one message box appears and its text is valid UTF-8.

#include <string>
#include <vector>

#include "ServerReply.hpp"
#include "diagnostics/NetworkTest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::int64_t clock = 0;
    std::vector<std::string> boxes;
    const NetworkTestIo io{
        [&](const std::string& path) {
            return path == "/diagnostics/status" ? parseReplyBody(data, size)
                                                 : nlohmann::json::object();
        },
        [](const std::string&, const nlohmann::json&) {
            return nlohmann::json{{"received", 61'440}};
        },
        [](const std::string&) {},
        [&](const std::string&, const std::string& text, MessageIcon) { boxes.push_back(text); },
        [&] { return clock += 7'000'000; },
    };
    runNetworkTest(io);
    FUZZ_CHECK(boxes.size() == 1);
    FUZZ_CHECK(toValidUtf8(boxes.front()) == boxes.front());
    return 0;
}

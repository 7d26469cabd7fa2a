// A 20 Mbit/s stream with key-frame bursts: the answering side's socket must hold them.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "PeerPair.hpp"

namespace {

using namespace rtctest;

struct SocketMemory {
    long long receiveBuffer = 0;
    long long drops = 0;  // datagrams dropped on this socket, a full buffer among the causes
};

// Memory figures of the UDP sockets bound to a port, as the kernel reports them. Counting
// the socket's own drops keeps other tests in the same network namespace out of the figure.
std::vector<SocketMemory> socketsOnPort(const std::string& port) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("ss -u -a -m -n 2>/dev/null", "r"), pclose);
    std::vector<SocketMemory> sockets;
    if (!pipe) {
        return sockets;
    }
    std::string output;
    char buffer[4096];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) {
        output.append(buffer, n);
    }
    std::regex socket(":" + port + R"(\s[^\n]*\n\s*skmem:\(([^)]*)\))");
    std::regex receive(R"(\brb(\d+))"), drops(R"(\bd(\d+))");
    for (std::sregex_iterator it(output.begin(), output.end(), socket), end; it != end; ++it) {
        std::string fields = (*it)[1];
        std::smatch found;
        SocketMemory memory;
        if (std::regex_search(fields, found, receive)) {
            memory.receiveBuffer = std::stoll(found[1]);
        }
        if (std::regex_search(fields, found, drops)) {
            memory.drops = std::stoll(found[1]);
        }
        sockets.push_back(memory);
    }
    return sockets;
}

std::string udpPortOf(const std::string& candidate) {
    // candidate:<foundation> <component> <transport> <priority> <address> <port> typ ...
    std::istringstream fields(candidate);
    std::string foundation, component, transport, priority, address, port;
    fields >> foundation >> component >> transport >> priority >> address >> port;
    return transport == "UDP" || transport == "udp" ? port : "";
}

TEST(Throughput, receiveBufferHoldsKeyFrameBurstsAt20Mbits) {
    PairOptions options;
    options.offerer.width = 1280;
    options.offerer.height = 720;
    options.offerer.fps = 60;
    options.offerer.bitrate = 20'000'000;
    PeerPair pair(options);
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.connected() && pair.mediaFlowing(10, 10); }, 20s));
    std::string port;
    {
        std::lock_guard lock(pair.observed.mutex);
        for (const auto& candidate : pair.observed.candidates) {
            if (port.empty()) {
                port = udpPortOf(candidate.candidate());
            }
        }
    }
    ASSERT_FALSE(port.empty());
    auto before = socketsOnPort(port);
    ASSERT_FALSE(before.empty()) << "no socket on port " << port;

    auto frames0 = pair.observed.videoFrames.load();
    auto bytes0 = pair.observed.videoBytes.load();
    auto began = std::chrono::steady_clock::now();
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    // Key frames on demand make the bursts that overflow a default-sized buffer.
    for (int i = 0; i < 10; ++i) {
        video->requestKeyframe();
        std::this_thread::sleep_for(500ms);  // pacing the requests, not waiting on a result
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    auto frames = pair.observed.videoFrames.load() - frames0;
    auto bytes = pair.observed.videoBytes.load() - bytes0;
    auto after = socketsOnPort(port);
    ASSERT_FALSE(after.empty()) << "socket on port " << port << " went away";
    long long dropped = after.front().drops - before.front().drops;

    std::printf(
        "[ figures ] 1280x720@60 H.264 at 20 Mbit/s: %.1f frames/s, %.1f Mbit/s received, "
        "%llu key frames forced, datagrams dropped by the socket +%lld\n",
        frames / seconds, bytes * 8 / seconds / 1e6,
        static_cast<unsigned long long>(pair.offerer->keyFramesForced()), dropped);

    EXPECT_GE(after.front().receiveBuffer, 4 * 1024 * 1024);
    EXPECT_EQ(dropped, 0);
    EXPECT_GT(frames, 0u);
}

}  // namespace

// The client's answering connection against the stand-in service's offering peer, both on
// loopback in one process: what it carries, how it ends, and how it treats bad signaling.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "OfferingPeer.hpp"
#include "rtc/rtc.hpp"
#include "support/WaitFor.hpp"

namespace {

using namespace std::chrono_literals;
using State = rtc::PeerConnection::State;

// Two engines negotiating on a shared machine: generous, as only a fault should reach it.
constexpr std::chrono::milliseconds slow = 20s;

struct PairOptions {
    PairOptions() {
        offerer.width = 320;
        offerer.height = 240;
        offerer.fps = 30;
        offerer.bitrate = 500'000;
    }
    OfferingPeerOptions offerer;
    rtc::VideoCodec codec = rtc::VideoCodec::H264;
    // Applied to the offer before the answering side sees it.
    std::function<std::string(std::string)> editOffer;
};

// The offering peer and the answering connection wired together. Signaling goes through a
// relay thread, as it would through HTTP, so neither engine's thread ever waits on the other's.
class PeerPair {
  public:
    explicit PeerPair(PairOptions options = {}) : options(std::move(options)) {}
    ~PeerPair() {
        if (answerer) {
            answerer->close();
        }
        if (offerer) {
            offerer->close();
        }
    }

    // Creates both peers; the offer flows at once.
    void start() {
        rtc::Configuration config;
        config.bindAddress = "127.0.0.1";
        config.videoCodec = options.codec;
        answerer = std::make_unique<rtc::PeerConnection>(config);

        answerer->onLocalDescription([this](rtc::Description description) {
            ++callbacks;
            const std::string sdp = description;
            post([this, sdp] { offerer->setRemoteAnswer(sdp); });
            std::lock_guard lock(mutex);
            answer = sdp;
        });
        answerer->onLocalCandidate([this](rtc::Candidate candidate) {
            ++callbacks;
            post([this, candidate] {
                if (!offerer->addRemoteCandidate(candidate.candidate(), candidate.mid())) {
                    ++candidatesRefusedByOfferer;
                }
            });
            std::lock_guard lock(mutex);
            candidates.push_back(candidate);
        });
        answerer->onStateChange([this](rtc::PeerConnection::State state) {
            ++callbacks;
            std::lock_guard lock(mutex);
            states.push_back(state);
        });
        answerer->onTrack([this](std::shared_ptr<rtc::Track> track) {
            ++callbacks;
            bool audio = track->mid() == "audio";
            if (audio) {
                track->setMediaHandler(std::make_shared<rtc::RtpDepacketizer>(48000));
            } else if (options.codec == rtc::VideoCodec::H265) {
                track->setMediaHandler(std::make_shared<rtc::H265RtpDepacketizer>());
            } else {
                track->setMediaHandler(std::make_shared<rtc::H264RtpDepacketizer>());
            }
            track->onFrame([this, audio](rtc::binary frame, rtc::FrameInfo info) {
                ++callbacks;
                ++(audio ? audioFrames : videoFrames);
                if (audio) {
                    return;
                }
                damagedVideoFrames += info.damaged ? 1 : 0;
                videoFramesMistimed +=
                    !info.arrival || *info.arrival > std::chrono::steady_clock::now() ? 1 : 0;
                std::lock_guard lock(mutex);
                if (firstVideoFrames.size() < 30) {
                    firstVideoFrames.push_back(std::move(frame));
                }
            });
            std::lock_guard lock(mutex);
            tracks[track->mid()] = track;
        });
        answerer->onDataChannel([this](std::shared_ptr<rtc::DataChannel> channel) {
            ++callbacks;
            std::string label = channel->label();
            channel->onMessage([this, label](rtc::message_variant message) {
                ++callbacks;
                std::lock_guard lock(mutex);
                messages.emplace_back(label, std::move(message));
            });
            channel->onOpen([this] {
                ++callbacks;
                ++channelsOpened;
            });
            std::lock_guard lock(mutex);
            channels[label] = channel;
        });

        OfferingPeerCallbacks offered;
        offered.onLocalDescription = [this](const std::string&, const std::string& sdp) {
            std::string offer = options.editOffer ? options.editOffer(sdp) : sdp;
            post([this, offer] {
                try {
                    answerer->setRemoteDescription(rtc::Description(offer, "offer"));
                } catch (const std::exception& error) {
                    std::lock_guard lock(mutex);
                    setRemoteError = error.what();
                }
            });
        };
        offered.onLocalCandidate = [this](const std::string& candidate,
                                          const std::optional<std::string>& mid) {
            post([this, candidate, mid] {
                try {
                    answerer->addRemoteCandidate(rtc::Candidate(candidate, mid.value_or("video")));
                } catch (const std::exception&) {
                    // Only reachable when the offer was refused; the test sees that elsewhere.
                }
            });
        };
        offerer = std::make_unique<OfferingPeer>(options.offerer, std::move(offered));
        {
            std::lock_guard lock(relayMutex);
            running = true;
        }
        wake.notify_all();
    }

    std::shared_ptr<rtc::DataChannel> channel(const std::string& label) {
        std::lock_guard lock(mutex);
        return channels.contains(label) ? channels[label] : nullptr;
    }
    std::shared_ptr<rtc::Track> track(const std::string& mid) {
        std::lock_guard lock(mutex);
        return tracks.contains(mid) ? tracks[mid] : nullptr;
    }

    // What the answering side saw, filled by its callbacks.
    std::mutex mutex;
    std::vector<rtc::PeerConnection::State> states;
    std::optional<std::string> answer;
    std::vector<rtc::Candidate> candidates;
    std::map<std::string, std::shared_ptr<rtc::Track>> tracks;
    std::map<std::string, std::shared_ptr<rtc::DataChannel>> channels;
    std::vector<std::pair<std::string, rtc::message_variant>> messages;
    std::vector<rtc::binary> firstVideoFrames;  // the first few, kept whole
    std::optional<std::string> setRemoteError;
    std::atomic<std::uint64_t> videoFrames{0};
    std::atomic<std::uint64_t> damagedVideoFrames{0};
    // Frames not timed from their packets' arrival, or timed after they were handed over.
    std::atomic<std::uint64_t> videoFramesMistimed{0};
    std::atomic<std::uint64_t> audioFrames{0};
    std::atomic<std::uint64_t> channelsOpened{0};
    std::atomic<std::uint64_t> callbacks{0};  // every callback of the answering side
    std::atomic<int> candidatesRefusedByOfferer{0};
    PairOptions options;
    std::unique_ptr<OfferingPeer> offerer;
    std::unique_ptr<rtc::PeerConnection> answerer;

  private:
    // Relay tasks run in order, from start() on; the offerer may post before it is stored.
    void post(std::function<void()> task) {
        {
            std::lock_guard lock(relayMutex);
            tasks.push_back(std::move(task));
        }
        wake.notify_all();
    }
    void relay(std::stop_token stop) {
        std::unique_lock lock(relayMutex);
        while (wake.wait(lock, stop, [&] { return running && !tasks.empty(); })) {
            auto task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex relayMutex;
    std::condition_variable_any wake;
    std::deque<std::function<void()>> tasks;
    bool running = false;
    std::jthread relayThread{[this](std::stop_token stop) { relay(stop); }};  // last: stops first
};

// NAL unit types after each long start code of an access unit, or {} unless it opens with one.
std::vector<int> nalTypes(const rtc::binary& frame, bool hevc) {
    const std::byte code[] = {std::byte{0}, std::byte{0}, std::byte{0}, std::byte{1}};
    std::vector<int> types;
    for (auto at = frame.begin(); frame.end() - at > 4 && std::equal(at, at + 4, code);
         at = std::search(at + 4, frame.end(), code, code + 4)) {
        const int header = std::to_integer<int>(at[4]);
        types.push_back(hevc ? (header >> 1) & 0x3f : header & 0x1f);
    }
    return types;
}

// Offers may give every bundled section its own ICE credentials; only the first section's are
// real here, so the connection only comes up when the client makes the others match.
std::string credentialsPerSection(std::string sdp) {
    for (const std::string attribute : {"a=ice-ufrag:", "a=ice-pwd:"}) {
        auto second = sdp.find(attribute, sdp.find(attribute) + 1);
        EXPECT_NE(second, std::string::npos) << sdp;
        second += attribute.size();
        sdp.replace(second, sdp.find("\r\n", second) - second, "00000000000000000000000other");
    }
    return sdp;
}

// The receive buffer the kernel gives the UDP socket bound to this port, 0 if none.
long long receiveBufferOfPort(const std::string& port) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen("ss -u -a -m -n 2>/dev/null", "r"), pclose);
    std::string output(1 << 20, '\0');
    output.resize(pipe ? fread(output.data(), 1, output.size(), pipe.get()) : 0);
    std::smatch found;
    std::regex socket(":" + port + R"(\s[^\n]*\n\s*skmem:\([^)]*\brb(\d+))");
    return std::regex_search(output, found, socket) ? std::stoll(found[1]) : 0;
}

class PeerConnectionCodecTest : public testing::TestWithParam<bool> {};

// The whole road for one codec: answer and candidates, both tracks with their frames in the
// decoder's form, the three channels, a key-frame request that reaches the sender's encoder, and
// sockets sized for key-frame bursts. A closed channel leaves the session be; close() from inside
// a frame callback neither hangs nor lets any callback run after it, though media and messages
// keep coming. The offerer leaving is the end-to-end tests' part.
TEST_P(PeerConnectionCodecTest, carriesBothTracksAndClosesCleanly) {
    const bool hevc = GetParam();
    PairOptions options;
    options.offerer.hevc = hevc;
    options.codec = hevc ? rtc::VideoCodec::H265 : rtc::VideoCodec::H264;
    options.editOffer = credentialsPerSection;
    PeerPair pair(options);
    pair.start();
    EXPECT_EQ(pair.answerer->state(), State::New);
    ASSERT_TRUE(waitFor(
        [&] {
            return pair.videoFrames >= 20 && pair.audioFrames >= 20 && pair.channelsOpened == 3;
        },
        slow))
        << "video " << pair.videoFrames << " audio " << pair.audioFrames;

    std::string port;
    {
        std::lock_guard lock(pair.mutex);
        EXPECT_FALSE(pair.setRemoteError) << *pair.setRemoteError;
        const std::string answer = pair.answer.value_or("");
        EXPECT_NE(answer.find(hevc ? "H265/90000" : "H264/90000"), std::string::npos) << answer;
        EXPECT_EQ(answer.find(hevc ? "H264/90000" : "H265/90000"), std::string::npos) << answer;
        for (const char* attribute : {"OPUS/48000", "nack pli", " rtx/90000", "a=recvonly"}) {
            EXPECT_NE(answer.find(attribute), std::string::npos) << attribute << "\n" << answer;
        }
        // candidate:<foundation> <component> <transport> <priority> <address> <port> ...
        for (const auto& candidate : pair.candidates) {
            std::istringstream fields(candidate.candidate());
            std::string skip, transport, address, candidatePort;
            fields >> skip >> skip >> transport >> skip >> address >> candidatePort;
            EXPECT_EQ(address, "127.0.0.1") << candidate.candidate();
            if (port.empty() && (transport == "UDP" || transport == "udp")) {
                port = candidatePort;
            }
        }
        EXPECT_EQ(pair.tracks.size(), 2u);
        bool sawKeyFrame = false;
        for (const auto& frame : pair.firstVideoFrames) {
            auto types = nalTypes(frame, hevc);
            EXPECT_FALSE(types.empty()) << "not an access unit with long start codes";
            sawKeyFrame |= std::ranges::any_of(
                types, [&](int type) { return hevc ? type == 19 || type == 20 : type == 5; });
        }
        EXPECT_TRUE(sawKeyFrame) << pair.firstVideoFrames.size() << " frames";
    }
    EXPECT_FALSE(port.empty());
    EXPECT_EQ(pair.candidatesRefusedByOfferer, 0);
    // The connection's checking round raises it once ICE has chosen the socket.
    EXPECT_TRUE(waitFor(
        [&] {
            std::this_thread::sleep_for(100ms);
            return receiveBufferOfPort(port) >= 4 * 1024 * 1024;
        },
        10s))
        << "receive buffer of port " << port << ": " << receiveBufferOfPort(port);
    for (const char* label : {"input", "input-fast", "microphone"}) {
        auto channel = pair.channel(label);
        ASSERT_TRUE(channel && channel->isOpen()) << label;
    }

    // A key-frame request travels as PLI to the sender's encoder.
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    auto before = pair.offerer->keyFramesForced();
    EXPECT_TRUE(video->requestKeyframe());
    EXPECT_TRUE(waitFor([&] { return pair.offerer->keyFramesForced() > before; }));

    ASSERT_TRUE(pair.offerer->closeChannel("microphone"));
    auto microphone = pair.channel("microphone");
    ASSERT_TRUE(waitFor([&] { return microphone->isClosed(); }));
    EXPECT_FALSE(microphone->isOpen());
    EXPECT_FALSE(microphone->send(std::string("{}")));
    ASSERT_TRUE(pair.offerer->sendText("input", "still here"));
    const std::pair<std::string, rtc::message_variant> stillHere("input", "still here");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(pair.mutex);
        return std::ranges::count(pair.messages, stillHere) == 1;
    }));
    {
        std::lock_guard lock(pair.mutex);  // each change once, in order
        EXPECT_EQ(pair.states, (std::vector{State::Connecting, State::Connected}));
    }
    EXPECT_EQ(pair.answerer->state(), State::Connected);

    std::atomic<bool> closed{false};
    std::atomic<std::uint64_t> atClose{0};
    video->onFrame([&](rtc::binary, rtc::FrameInfo) {
        if (closed) {
            ++pair.callbacks;
            return;
        }
        pair.answerer->close();
        atClose = pair.callbacks.load();
        closed = true;
    });
    ASSERT_TRUE(waitFor([&] { return closed.load(); }, 10s));
    for (int i = 0; i < 20; ++i) {
        pair.offerer->sendText("input", "{}");
    }
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(pair.callbacks.load(), atClose);
    EXPECT_EQ(pair.answerer->state(), State::Closed);
    EXPECT_FALSE(video->requestKeyframe());
}

INSTANTIATE_TEST_SUITE_P(Codecs, PeerConnectionCodecTest, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Hevc" : "H264"; });

// The offer as a sender that cannot retransmit would make it: no rtx format.
std::string withoutRetransmission(const std::string& offer) {
    std::smatch rtx;
    EXPECT_TRUE(std::regex_search(offer, rtx, std::regex(R"(a=rtpmap:(\d+) rtx/90000)")));
    const std::string type = rtx[1];
    const std::regex lines("a=(rtpmap|fmtp):" + type + " [^\r]*\r\n|a=ssrc-group:FID[^\r]*\r\n");
    return std::regex_replace(std::regex_replace(offer, lines, ""),
                              std::regex("(m=video[^\r]*) " + type + "\r\n"), "$1\r\n");
}

class PeerConnectionLossTest : public testing::TestWithParam<bool> {};

// 5 % of the video packets lost on the way. With retransmission they come back and only a
// packet given up for good damages a frame; without it, the answer asks for nothing and the
// frames that lost packets are delivered as damaged.
TEST_P(PeerConnectionLossTest, lostPacketsAreRepairedWhenTheOfferRetransmitsElseFramesAreDamaged) {
    const bool retransmits = GetParam();
    PairOptions options;
    options.offerer.bitrate = 1'000'000;
    options.offerer.impairment.lossPercent = 5;
    options.offerer.impairment.seed = 7;
    if (!retransmits) {
        options.editOffer = withoutRetransmission;
    }
    PeerPair pair(options);
    pair.start();
    ASSERT_TRUE(waitFor([&] { return pair.videoFrames >= 90; }, slow));
    auto video = pair.track("video");
    ASSERT_TRUE(video);
    const std::uint64_t damaged = pair.damagedVideoFrames;
    const rtc::ReceiveStats stats = video->receiveStats();

    EXPECT_EQ(stats.retransmission, retransmits);
    EXPECT_EQ(pair.videoFramesMistimed, 0u);
    EXPECT_GT(stats.packetsLost, 0u);
    if (retransmits) {
        EXPECT_GT(stats.packetsRetransmitted, 0u);
        EXPECT_LE(damaged, stats.packetsLost - stats.packetsRetransmitted);
    } else {
        EXPECT_EQ(stats.packetsRetransmitted, 0u);
        EXPECT_GT(damaged, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Retransmission, PeerConnectionLossTest, testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Offered" : "NotOffered"; });

// Someone on the media path answering the handshake with a certificate of their own: the
// connection fails instead of carrying the stream.
TEST(PeerLifecycle, certificateTheOfferDidNotAnnounceFailsTheConnection) {
    PairOptions options;
    options.editOffer = [](std::string offer) {
        std::string forged = "a=fingerprint:sha-256 AB";
        for (int i = 1; i < 32; ++i) {
            forged += ":AB";
        }
        return std::regex_replace(offer, std::regex("a=fingerprint:[^\r]*"), forged);
    };
    PeerPair pair(options);
    pair.start();
    EXPECT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(pair.mutex);
            return std::ranges::count(pair.states, State::Failed) == 1;
        },
        slow));
}

TEST(PeerLifecycle, badSignalingIsRefusedWithoutHarm) {
    rtc::Configuration config;
    config.bindAddress = "127.0.0.1";
    rtc::PeerConnection connection(config);
    int callbacks = 0;
    connection.onLocalDescription([&](rtc::Description) { ++callbacks; });

    // A candidate before any description has no m-line to go to.
    EXPECT_THROW(connection.addRemoteCandidate(
                     rtc::Candidate("candidate:1 1 UDP 2015 127.0.0.1 5000 typ host", "video")),
                 std::invalid_argument);
    // Not a description at all, and one with no media.
    const std::string session = "v=0\r\no=- 1 1 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n";
    for (const std::string& text : {std::string("hello"), session}) {
        EXPECT_THROW(connection.setRemoteDescription(rtc::Description(text, "offer")),
                     std::invalid_argument);
    }
    // Shaped like an offer, but the engine cannot answer it (no ICE credentials, no
    // fingerprint); and an answer is not something the answering side applies.
    const std::string broken = session +
                               "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\n"
                               "a=mid:video\r\na=rtpmap:96 H264/90000\r\na=sendonly\r\n";
    EXPECT_ANY_THROW(connection.setRemoteDescription(rtc::Description(broken, "offer")));
    EXPECT_THROW(connection.setRemoteDescription(rtc::Description(broken, "answer")),
                 std::invalid_argument);
    EXPECT_EQ(callbacks, 0);
    EXPECT_NE(connection.state(), State::Connected);
}

}  // namespace

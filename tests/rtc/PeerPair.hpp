#pragma once

// The stand-in service's offering peer and the client's answering connection wired together
// in one process. Signaling goes through a relay thread, as it would through HTTP, so neither
// engine's thread ever waits on the other's.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OfferingPeer.hpp"
#include "rtc/rtc.hpp"
#include "support/WaitFor.hpp"

namespace rtctest {

using namespace std::chrono_literals;
// Two engines negotiating on a shared machine: generous, as only a fault should reach it.
constexpr std::chrono::milliseconds slow = 20s;

// Runs tasks one after another on a thread of its own, from resume() on.
class Relay {
  public:
    void post(std::function<void()> task);
    void resume();

  private:
    std::mutex mutex;
    std::condition_variable_any wake;
    std::deque<std::function<void()>> tasks;
    bool running = false;
    std::jthread thread{[this](std::stop_token stop) { run(stop); }};  // last: stops first
    void run(std::stop_token stop);
};

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

// What the answering side saw, filled by its callbacks.
struct Observed {
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
    std::atomic<std::uint64_t> audioFrames{0};
    std::atomic<std::uint64_t> channelsOpened{0};
    std::atomic<std::uint64_t> callbacks{0};  // every callback of the answering side
    std::atomic<int> candidatesRefusedByOfferer{0};
};

class PeerPair {
  public:
    explicit PeerPair(PairOptions options = {}) : options(std::move(options)) {}
    ~PeerPair();

    // Creates both peers; the offer flows at once.
    void start();

    std::shared_ptr<rtc::DataChannel> channel(const std::string& label);
    std::shared_ptr<rtc::Track> track(const std::string& mid);

    PairOptions options;
    Observed observed;
    std::unique_ptr<OfferingPeer> offerer;
    std::unique_ptr<rtc::PeerConnection> answerer;

  private:
    Relay relay;  // declared last: stops first, before the peers go
};

}  // namespace rtctest

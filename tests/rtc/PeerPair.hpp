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

namespace rtctest {

using namespace std::chrono_literals;

// Polls until the condition holds or the time-out passes; returns the last result.
bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// Runs tasks one after another on a thread of its own.
class Relay {
  public:
    Relay();
    ~Relay();
    void post(std::function<void()> task);
    // Tasks wait until this is called, so they never see a half-built pair.
    void resume();

  private:
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    bool running = false;
    std::thread thread;
};

struct PairOptions {
    OfferingPeerOptions offerer;
    rtc::VideoCodec codec = rtc::VideoCodec::H264;
    // Applied to the offer before the answering side sees it.
    std::function<std::string(std::string)> editOffer;
    // The answering side attaches no media handler (frames not wanted).
    bool handleMedia = true;
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
    std::atomic<std::uint64_t> videoFrames{0};
    std::atomic<std::uint64_t> videoBytes{0};
    std::atomic<std::uint64_t> damagedVideoFrames{0};
    // The count of video frames when the latest H.264 key frame (an IDR slice) arrived.
    std::atomic<std::uint64_t> lastKeyFrameAt{0};
    // Timestamps of the video frames (under mutex): the first, the last, and how often one
    // lay before the one delivered ahead of it.
    std::optional<std::uint32_t> firstVideoTimestamp;
    std::optional<std::uint32_t> lastVideoTimestamp;
    std::uint64_t videoTimestampsBackwards = 0;
    std::atomic<std::uint64_t> audioFrames{0};
    std::atomic<std::uint64_t> channelsOpened{0};
    std::atomic<std::uint64_t> callbacks{0};  // every callback of the answering side
    std::optional<std::string> setRemoteError;
};

// What the offering side saw.
struct Offered {
    std::mutex mutex;
    std::optional<std::string> offer;
    std::vector<std::pair<std::string, std::string>> texts;  // label, text
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> binaries;
    std::vector<std::string> opened;
    std::vector<int> states;
    std::atomic<int> remoteCandidatesRefused{0};
};

class PeerPair {
  public:
    explicit PeerPair(PairOptions options = {});
    ~PeerPair();

    // Creates both peers; the offer flows at once.
    void start();

    bool connected();  // the answering side reported Connected
    bool mediaFlowing(std::uint64_t videoFrames = 10, std::uint64_t audioFrames = 10);
    std::shared_ptr<rtc::DataChannel> channel(const std::string& label);
    std::shared_ptr<rtc::Track> track(const std::string& mid);

    PairOptions options;
    Observed observed;
    Offered offered;
    std::unique_ptr<OfferingPeer> offerer;
    std::unique_ptr<rtc::PeerConnection> answerer;
    std::chrono::steady_clock::time_point started;
    std::optional<std::chrono::steady_clock::duration> timeToConnected;

  private:
    Relay relay;  // declared last: stops first, before the peers go
};

}  // namespace rtctest

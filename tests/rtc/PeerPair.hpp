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
    // Frames not timed from their packets' arrival, or timed after they were handed over.
    std::atomic<std::uint64_t> videoFramesMistimed{0};
    std::atomic<std::uint64_t> audioFrames{0};
    std::atomic<std::uint64_t> channelsOpened{0};
    std::atomic<std::uint64_t> callbacks{0};  // every callback of the answering side
    std::atomic<int> candidatesRefusedByOfferer{0};
};

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
            ++observed.callbacks;
            std::string sdp = description;
            {
                std::lock_guard lock(observed.mutex);
                observed.answer = sdp;
            }
            post([this, sdp] { offerer->setRemoteAnswer(sdp); });
        });
        answerer->onLocalCandidate([this](rtc::Candidate candidate) {
            ++observed.callbacks;
            {
                std::lock_guard lock(observed.mutex);
                observed.candidates.push_back(candidate);
            }
            post([this, candidate] {
                if (!offerer->addRemoteCandidate(candidate.candidate(), candidate.mid())) {
                    ++observed.candidatesRefusedByOfferer;
                }
            });
        });
        answerer->onStateChange([this](rtc::PeerConnection::State state) {
            ++observed.callbacks;
            std::lock_guard lock(observed.mutex);
            observed.states.push_back(state);
        });
        answerer->onTrack([this](std::shared_ptr<rtc::Track> track) {
            ++observed.callbacks;
            bool audio = track->mid() == "audio";
            if (audio) {
                track->setMediaHandler(std::make_shared<rtc::RtpDepacketizer>(48000));
            } else if (options.codec == rtc::VideoCodec::H265) {
                track->setMediaHandler(std::make_shared<rtc::H265RtpDepacketizer>());
            } else {
                track->setMediaHandler(std::make_shared<rtc::H264RtpDepacketizer>());
            }
            track->onFrame([this, audio](rtc::binary frame, rtc::FrameInfo info) {
                ++observed.callbacks;
                ++(audio ? observed.audioFrames : observed.videoFrames);
                if (audio) {
                    return;
                }
                observed.damagedVideoFrames += info.damaged ? 1 : 0;
                observed.videoFramesMistimed +=
                    !info.arrival || *info.arrival > std::chrono::steady_clock::now() ? 1 : 0;
                std::lock_guard lock(observed.mutex);
                if (observed.firstVideoFrames.size() < 30) {
                    observed.firstVideoFrames.push_back(std::move(frame));
                }
            });
            std::lock_guard lock(observed.mutex);
            observed.tracks[track->mid()] = track;
        });
        answerer->onDataChannel([this](std::shared_ptr<rtc::DataChannel> channel) {
            ++observed.callbacks;
            std::string label = channel->label();
            channel->onMessage([this, label](rtc::message_variant message) {
                ++observed.callbacks;
                std::lock_guard lock(observed.mutex);
                observed.messages.emplace_back(label, std::move(message));
            });
            channel->onOpen([this] {
                ++observed.callbacks;
                ++observed.channelsOpened;
            });
            std::lock_guard lock(observed.mutex);
            observed.channels[label] = channel;
        });

        OfferingPeerCallbacks callbacks;
        callbacks.onLocalDescription = [this](const std::string&, const std::string& sdp) {
            std::string offer = options.editOffer ? options.editOffer(sdp) : sdp;
            post([this, offer] {
                try {
                    answerer->setRemoteDescription(rtc::Description(offer, "offer"));
                } catch (const std::exception& error) {
                    std::lock_guard lock(observed.mutex);
                    observed.setRemoteError = error.what();
                }
            });
        };
        callbacks.onLocalCandidate = [this](const std::string& candidate,
                                            const std::optional<std::string>& mid) {
            post([this, candidate, mid] {
                try {
                    answerer->addRemoteCandidate(rtc::Candidate(candidate, mid.value_or("video")));
                } catch (const std::exception&) {
                    // Only reachable when the offer was refused; the test sees that elsewhere.
                }
            });
        };
        offerer = std::make_unique<OfferingPeer>(options.offerer, std::move(callbacks));
        {
            std::lock_guard lock(relayMutex);
            running = true;
        }
        wake.notify_all();
    }

    std::shared_ptr<rtc::DataChannel> channel(const std::string& label) {
        std::lock_guard lock(observed.mutex);
        return observed.channels.contains(label) ? observed.channels[label] : nullptr;
    }
    std::shared_ptr<rtc::Track> track(const std::string& mid) {
        std::lock_guard lock(observed.mutex);
        return observed.tracks.contains(mid) ? observed.tracks[mid] : nullptr;
    }

    PairOptions options;
    Observed observed;
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

}  // namespace rtctest

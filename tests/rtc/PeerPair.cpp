#include "PeerPair.hpp"

namespace rtctest {

void Relay::run(std::stop_token stop) {
    std::unique_lock lock(mutex);
    while (wake.wait(lock, stop, [&] { return running && !tasks.empty(); })) {
        auto task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

void Relay::resume() {
    {
        std::lock_guard lock(mutex);
        running = true;
    }
    wake.notify_all();
}

void Relay::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
    }
    wake.notify_all();
}

PeerPair::~PeerPair() {
    if (answerer) {
        answerer->close();
    }
    if (offerer) {
        offerer->close();
    }
}

void PeerPair::start() {
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
        relay.post([this, sdp] { offerer->setRemoteAnswer(sdp); });
    });
    answerer->onLocalCandidate([this](rtc::Candidate candidate) {
        ++observed.callbacks;
        {
            std::lock_guard lock(observed.mutex);
            observed.candidates.push_back(candidate);
        }
        relay.post([this, candidate] {
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
        relay.post([this, offer] {
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
        relay.post([this, candidate, mid] {
            try {
                answerer->addRemoteCandidate(rtc::Candidate(candidate, mid.value_or("video")));
            } catch (const std::exception&) {
                // Only reachable when the offer was refused; the test sees that elsewhere.
            }
        });
    };
    offerer = std::make_unique<OfferingPeer>(options.offerer, std::move(callbacks));
    relay.resume();
}

template <typename Value>
Value found(std::mutex& mutex, const std::map<std::string, Value>& map, const std::string& key) {
    std::lock_guard lock(mutex);
    auto at = map.find(key);
    return at == map.end() ? nullptr : at->second;
}

std::shared_ptr<rtc::DataChannel> PeerPair::channel(const std::string& label) {
    return found(observed.mutex, observed.channels, label);
}

std::shared_ptr<rtc::Track> PeerPair::track(const std::string& mid) {
    return found(observed.mutex, observed.tracks, mid);
}

}  // namespace rtctest

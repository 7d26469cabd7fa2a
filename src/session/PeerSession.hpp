#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "rtc/rtc.hpp"

// The connection state `main` keeps for the whole run and lends to the callbacks and threads.
struct PeerSession {
    std::shared_ptr<rtc::PeerConnection> peerConnection;

    // Set once the answer has reached the service; candidates wait for it.
    std::atomic<bool> localDescriptionPosted{false};
    // Guards pendingCandidates and orders each candidate decision against the flush. Held
    // across the candidate POSTs, never across the description POST.
    std::mutex signalingMutex;
    std::vector<rtc::Candidate> pendingCandidates;

    // Set by the state callback or the main loop; never goes back to false.
    std::atomic<bool> stopRequested{false};
};

#include "video/EncodedQueue.hpp"

void EncodedQueue::push(EncodedFrame frame) {
    stats.framesReceived.fetch_add(1);
    stats.bytesReceived.fetch_add(frame.data.size());
    const FrameKind kind = frameKind(frame.data, hevc);
    const bool key = kind == FrameKind::Key;
    {
        std::lock_guard lock(mutex);
        if (stopped) {
            return;
        }
        if (!frames.empty() && behind(frame)) {
            dropUpToKeyFrame(frame);
        }
        // Parameter sets sent on their own may be what the coming key frame needs.
        if (awaitingKeyFrame && kind == FrameKind::Delta) {
            stats.encodedFramesDropped.fetch_add(1);
            return;
        }
        if (key) {
            // Whatever an earlier drop needed, this frame brings.
            awaitingKeyFrame = false;
            keyframeNeeded = false;
        }
        frames.push_back(Queued{std::move(frame), kind});
    }
    wake.notify_one();
}

// Measured by how long the oldest frame has waited here, not by the sender's timestamps: a
// burst that the network held back arrives at once and is decoded quickly enough.
bool EncodedQueue::behind(const EncodedFrame& newest) const {
    return frames.size() >= maxFrames || newest.arrival - frames.front().frame.arrival > maxBacklog;
}

void EncodedQueue::dropUpToKeyFrame(const EncodedFrame& newest) {
    // A key frame still recent enough is where decoding resumes; anything older goes.
    while (!frames.empty()) {
        const Queued& oldest = frames.front();
        if (oldest.key() && newest.arrival - oldest.frame.arrival <= maxBacklog) {
            return;
        }
        frames.pop_front();
        stats.encodedFramesDropped.fetch_add(1);
    }
    awaitingKeyFrame = true;
    keyframeNeeded = true;
}

EncodedQueue::Taken EncodedQueue::pop(Clock::time_point deadline) {
    Taken taken;
    std::unique_lock lock(mutex);
    wake.wait_until(lock, deadline,
                    [this] { return stopped || keyframeNeeded || !frames.empty(); });
    if (stopped) {
        taken.stopped = true;
        return taken;
    }
    taken.keyframeNeeded = keyframeNeeded;
    keyframeNeeded = false;
    if (!frames.empty()) {
        taken.frame = std::move(frames.front());
        frames.pop_front();
    }
    return taken;
}

void EncodedQueue::stop() {
    {
        std::lock_guard lock(mutex);
        stopped = true;
    }
    wake.notify_all();
}

std::size_t EncodedQueue::size() const {
    std::lock_guard lock(mutex);
    return frames.size();
}

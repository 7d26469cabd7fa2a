#include "video/FrameQueue.hpp"

bool FrameQueue::push(Bytes frame, std::uint32_t timestamp) {
    stats.framesReceived.fetch_add(1);
    stats.bytesReceived.fetch_add(frame.size());
    bool dropped = false;
    std::lock_guard lock(mutex);
    if (frames.size() >= capacity) {
        frames.pop_front();
        stats.framesDropped.fetch_add(1);
        dropped = true;
    }
    frames.push_back(Entry{std::move(frame), timestamp});
    return dropped;
}

Bytes FrameQueue::tryPop(std::uint32_t* timestamp) {
    Bytes frame;
    std::lock_guard lock(mutex);
    if (!frames.empty()) {
        frame = std::move(frames.front().data);
        if (timestamp != nullptr) {
            *timestamp = frames.front().timestamp;
        }
        frames.pop_front();
    }
    return frame;
}

std::size_t FrameQueue::size() const {
    std::lock_guard lock(mutex);
    return frames.size();
}

#include "PreparedStream.hpp"

#include <iostream>

#include "ViewerSession.hpp"

void PreparedStream::prepare(const OfferingPeerOptions& options) {
    finish();
    {
        std::lock_guard lock(mutex);
        if (ready && fits(readyOptions, options)) {
            return;  // the bitrate is set when a viewer takes it
        }
    }
    making = std::thread([this, options] {
        std::shared_ptr<ViewerSession> made;
        try {
            made = make(options);
        } catch (const std::exception&) {
            return;  // the viewer's first poll tries again and sees the error
        }
        {
            std::lock_guard lock(mutex);
            std::swap(ready, made);
            readyOptions = options;
        }
        std::cout << "stream ready for the next viewer" << std::endl;
        // A stream it replaced goes here, outside the lock.
    });
}

std::shared_ptr<ViewerSession> PreparedStream::take(const OfferingPeerOptions& options) {
    finish();
    std::shared_ptr<ViewerSession> taken;
    OfferingPeerOptions made;
    {
        std::lock_guard lock(mutex);
        taken = std::move(ready);
        ready.reset();
        made = readyOptions;
    }
    if (taken && !fits(made, options)) {
        taken.reset();
    }
    if (taken && made.bitrate != options.bitrate) {
        taken->setBitrate(options.bitrate);
    }
    return taken;
}

void PreparedStream::clear() {
    finish();
    std::shared_ptr<ViewerSession> dropped;
    std::lock_guard lock(mutex);
    dropped = std::move(ready);
}

void PreparedStream::finish() {
    if (making.joinable()) {
        making.join();
    }
}

#include "video/DecodeThread.hpp"

#include <exception>

namespace {
using Clock = EncodedQueue::Clock;
}

DecodeThread::DecodeThread(EncodedQueue& queue, VideoDecoder& decoder, PictureSlot& slot)
    : queue(queue), decoder(decoder), slot(slot) {}

DecodeThread::~DecodeThread() {
    stop();
}

void DecodeThread::start(Hooks threadHooks) {
    if (!thread.joinable()) {
        hooks = std::move(threadHooks);
        thread = std::thread([this] { run(); });
    }
}

void DecodeThread::stop() {
    queue.stop();
    if (thread.joinable()) {
        thread.join();
    }
}

void DecodeThread::run() {
    for (;;) {
        // Without a frame, wake only when the key-frame policy may have something to do;
        // while pictures are refused, only the next frame asks again.
        const auto deadline = reportedRefusal
                                  ? Clock::time_point::max()
                                  : keyframes.nextCheck().value_or(Clock::time_point::max());
        EncodedQueue::Taken taken = queue.pop(deadline);
        if (taken.stopped) {
            return;
        }
        try {
            if (taken.keyframeNeeded) {
                brokenSinceKeyFrame = true;
                keyframes.pictureBroken();
            }
            if (taken.frame) {
                decodeOne(*taken.frame);
            }
            requestKeyframeWhenDue();
        } catch (const std::exception&) {
            // A frame that cannot be handled (out of memory) is lost like an undecodable one.
            brokenSinceKeyFrame = true;
            keyframes.pictureBroken();
        }
    }
}

void DecodeThread::decodeOne(EncodedQueue::Queued& queued) {
    const EncodedFrame& frame = queued.frame;
    const auto start = Clock::now();
    keyframes.frameArrived(start, queued.key());
    if (queued.key()) {
        brokenSinceKeyFrame = false;
    }
    if (frame.damaged) {
        brokenSinceKeyFrame = true;
        keyframes.pictureBroken();
    }
    const std::uint64_t failuresBefore = decoder.decodeFailures();
    const std::size_t pictures = decoder.decode(
        frame.data.data(), frame.data.size(), frame.timestamp, [&](DecodedPicture picture) {
            decoded.fetch_add(1);
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            if (slot.put(
                    ReadyPicture{std::move(picture), frame.received(), ms, brokenSinceKeyFrame}) &&
                hooks.pictureReady) {
                hooks.pictureReady();
            }
        });
    decodeMs.add(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (decoder.refusal()) {
        noteRefusal();
        return;
    }
    reportedRefusal.reset();
    // Parameter sets on their own make the decoder complain of no picture; they break nothing.
    if (decoder.decodeFailures() != failuresBefore && queued.kind != FrameKind::NoSlice) {
        brokenSinceKeyFrame = true;
        keyframes.pictureBroken();
    }
    if (pictures > 0) {
        keyframes.pictureDecoded();
    }
}

void DecodeThread::noteRefusal() {
    brokenSinceKeyFrame = true;
    if (reportedRefusal != decoder.refusal()) {
        reportedRefusal = decoder.refusal();
        if (hooks.refused) {
            hooks.refused(*reportedRefusal);
        }
    }
}

void DecodeThread::requestKeyframeWhenDue() {
    const auto now = Clock::now();
    if (reportedRefusal) {
        // The policy would ask again at every refused key frame.
        if ((!lastRefusedRequest || now - *lastRefusedRequest >= refusedRequestInterval) &&
            hooks.requestKeyframe && hooks.requestKeyframe()) {
            lastRefusedRequest = now;
            requests.fetch_add(1);
        }
        return;
    }
    const double rtt = hooks.roundTripMs ? hooks.roundTripMs() : 0.0;
    if (keyframes.poll(now, rtt) && hooks.requestKeyframe && hooks.requestKeyframe()) {
        requests.fetch_add(1);
    }
}

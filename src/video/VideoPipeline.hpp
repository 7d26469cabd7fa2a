#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "base/EncodedFrame.hpp"
#include "base/StreamStats.hpp"
#include "video/DecodeThread.hpp"
#include "video/EncodedQueue.hpp"
#include "video/FrameHistory.hpp"
#include "video/PictureSlot.hpp"
#include "video/SampleWindow.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPresenter.hpp"

// The road of a video frame: the engine's callback pushes the encoded frame into the queue,
// the decode thread decodes every frame into the newest-picture slot, and the main thread
// presents the newest picture. The decoder and the presenter are lent; the queue, the slot and
// the thread are the pipeline's own.
class VideoPipeline {
  public:
    using Clock = EncodedFrame::Clock;

    // The video figures of one statistics interval: running totals, and the interval's
    // windows (durations in ms).
    struct Totals {
        std::uint64_t decoded = 0;
        std::uint64_t presented = 0;
        std::uint64_t skipped = 0;
        std::uint64_t broken = 0;
        std::uint64_t keyframeRequests = 0;
    };
    struct Figures : Totals {
        SampleWindow::Summary arrivalToPresent;
        SampleWindow::Summary decode;
        SampleWindow::Summary present;
        double longestGapMs = 0;  // between two presented pictures
    };

    // `recent`, when given, gets every presented picture.
    VideoPipeline(StreamStats& stats, bool isHevc, VideoDecoder& decoder, VideoPresenter& presenter,
                  FrameHistory* recent = nullptr);
    VideoPipeline(const VideoPipeline&) = delete;
    VideoPipeline& operator=(const VideoPipeline&) = delete;

    // Engine thread.
    void push(EncodedFrame frame) { queue.push(std::move(frame)); }

    void start(DecodeThread::Hooks hooks) { decodeThread.start(std::move(hooks)); }
    void stop() { decodeThread.stop(); }

    // Main thread: presents the newest decoded picture, if one came. True when one was shown.
    bool presentNewest();
    // Main thread, once per statistics interval; starts the next interval's windows.
    Figures takeFigures();
    // Main thread; the running totals alone, leaving the interval's windows as they are.
    Totals totals() const;

  private:
    VideoPresenter& presenter;
    FrameHistory* recent;
    EncodedQueue queue;
    PictureSlot slot;
    DecodeThread decodeThread;  // last: stopped before the queue and slot go

    // Main thread only.
    std::uint64_t broken = 0;
    std::optional<Clock::time_point> lastPresented;
    double longestGapMs = 0;
    SampleWindow arrivalToPresentMs;
    SampleWindow presentMs;
};

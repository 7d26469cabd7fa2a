#include "PathRuns.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#include "base/RemoteCursor.hpp"
#include "base/StreamStats.hpp"
#include "video/EncodedQueue.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPipeline.hpp"
#include "video/VideoPresenter.hpp"

namespace bench {

namespace {

// Delivers the stream at 60 frames/s as the engine's callback would, on its own thread. Like a
// live sender it answers a key-frame request with a key frame: it goes on from the stream's
// first frame, so the count of frames delivered stays the same.
class PacedProducer {
  public:
    template <typename Push>
    PacedProducer(const Stream& stream, int passes, const std::atomic<std::uint64_t>& requests,
                  Push push)
        : thread([this, &stream, passes, &requests, push] {
              const auto period = std::chrono::nanoseconds(1'000'000'000 / streamFps);
              auto due = Clock::now();
              std::uint32_t timestamp = 0;
              std::uint64_t answered = 0;
              std::size_t next = 0;
              for (std::size_t sent = 0; sent < stream.units.size() * passes; ++sent) {
                  if (requests.load() != answered) {
                      answered = requests.load();
                      next = 0;
                  }
                  std::this_thread::sleep_until(due);
                  due += period;
                  push(EncodedFrame{stream.units[next], timestamp, false, Clock::now()});
                  timestamp += rtpTicksPerFrame;
                  next = (next + 1) % stream.units.size();
              }
              done = true;
          }) {}
    ~PacedProducer() { thread.join(); }
    bool finished() const { return done.load(); }

  private:
    std::atomic<bool> done{false};
    std::thread thread;
};

struct Measure {
    double cpuStart = cpuSeconds();
    Clock::time_point wallStart = Clock::now();
    Measure() { resetPeakRss(); }
    // `end`: when the last picture was shown.
    void finish(Row& row, Clock::time_point end = Clock::now()) const {
        const double wall = std::chrono::duration<double>(end - wallStart).count();
        row.cpuMsPerFrame =
            (cpuSeconds() - cpuStart) * 1000.0 / std::max<std::uint64_t>(1, row.presented);
        row.peakRss = peakRssMiB();
        row.fps = row.presented / wall;
    }
};

}  // namespace

Row runSerial(const Stream& stream, SDL_Renderer* renderer, int threads, bool paced) {
    Row row;
    row.stream = stream.label;
    row.mode = paced ? "paced 60/s" : "flat out";
    row.path = threads == 1 ? "serial 1" : "serial x" + std::to_string(threads);
    row.frames = stream.units.size();

    StreamStats stats;
    EncodedQueue queue(stats, stream.hevc);
    VideoDecoderOptions options;
    options.softwareThreads = threads;
    VideoDecoder decoder(stream.hevc, options);
    const RemoteCursor cursor;
    const StreamOverlay overlay(cursor);
    VideoPresenter presenter(renderer, windowW, windowH, overlay);
    pumpEvents();
    std::vector<double> latencies;
    // True when a picture of the frame was presented.
    const auto decodeAndPresent = [&](const EncodedFrame& frame) {
        bool shown = false;
        decoder.decode(
            frame.data.data(), frame.data.size(), frame.timestamp,
            [&](DecodedPicture picture) { shown = presenter.present(*picture) || shown; });
        if (shown) {
            latencies.push_back(msSince(frame.arrival, Clock::now()));
        }
    };

    const Measure measure;
    std::atomic<std::uint64_t> requests{0};
    if (paced) {
        const PacedProducer producer(stream, 1, requests,
                                     [&](EncodedFrame frame) { queue.push(std::move(frame)); });
        for (;;) {
            pumpEvents();
            auto taken = queue.pop(Clock::now());
            if (taken.keyframeNeeded) {
                ++requests;
            }
            if (!taken.frame) {
                if (producer.finished() && queue.size() == 0) {
                    break;
                }
                SDL_Delay(1);
                continue;
            }
            decodeAndPresent(taken.frame->frame);
        }
    } else {
        std::uint32_t timestamp = 0;
        for (const auto& unit : stream.units) {
            pumpEvents();
            queue.push(EncodedFrame{unit, timestamp, false, Clock::now()});
            timestamp += rtpTicksPerFrame;
            if (auto taken = queue.pop(Clock::now()); taken.frame) {
                decodeAndPresent(taken.frame->frame);
            }
        }
    }
    row.presented = presenter.framesPresented();
    row.latency = summarise(latencies);
    row.dropped = stats.encodedFramesDropped.load();
    row.keyframeRequests = requests.load();
    measure.finish(row);
    return row;
}

Row runThreaded(const Stream& stream, SDL_Renderer* renderer, int passes) {
    Row row;
    row.stream = stream.label;
    row.mode = passes > 1
                   ? "paced " + std::to_string(stream.units.size() * passes / streamFps) + " s"
                   : "paced 60/s";
    row.path = "threaded";
    row.frames = stream.units.size() * passes;

    StreamStats stats;
    VideoDecoder decoder(stream.hevc);
    const RemoteCursor cursor;
    const StreamOverlay overlay(cursor);
    VideoPresenter presenter(renderer, windowW, windowH, overlay);
    VideoPipeline video(stats, stream.hevc, decoder, presenter);
    const Uint32 pictureReady = SDL_RegisterEvents(1);
    std::atomic<std::uint64_t> requests{0};
    video.start(DecodeThread::Hooks{
        [&requests] { return ++requests, true; },
        [] { return 0.5; },  // loopback
        [pictureReady] {
            SDL_Event event{};
            event.type = pictureReady;
            SDL_PushEvent(&event);
        },
    });
    pumpEvents();

    const Measure measure;
    auto lastPicture = Clock::now();
    {
        const PacedProducer producer(stream, passes, requests,
                                     [&](EncodedFrame frame) { video.push(std::move(frame)); });
        // The client's main loop without input: sleep until an event, then the newest picture.
        while (!producer.finished() ||
               Clock::now() - lastPicture < std::chrono::milliseconds(300)) {
            SDL_Event event;
            if (SDL_WaitEventTimeout(&event, 100) != 0) {
                pumpEvents();
            }
            if (video.presentNewest()) {
                lastPicture = Clock::now();
            }
        }
    }
    video.stop();
    const VideoPipeline::Figures figures = video.takeFigures();
    row.presented = figures.presented;
    row.latency = {figures.arrivalToPresent.median, figures.arrivalToPresent.p99};
    row.decodeMs = figures.decode.median;
    row.presentMs = figures.present.median;
    row.dropped = stats.encodedFramesDropped.load();
    row.skipped = figures.skipped;
    row.keyframeRequests = figures.keyframeRequests;
    measure.finish(row, lastPicture);
    return row;
}

}  // namespace bench

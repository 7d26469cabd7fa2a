#pragma once

// What the video benchmark's measurements share: clocks, process figures, the streams and a
// bare libavcodec decoder for the baselines.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/Bytes.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace bench {

using Clock = std::chrono::steady_clock;
constexpr int windowW = 1920;
constexpr int windowH = 1080;
constexpr int streamFps = 60;
// 90 kHz RTP ticks between two frames at streamFps.
constexpr std::uint32_t rtpTicksPerFrame = 90000 / streamFps;

double msSince(Clock::time_point start, Clock::time_point end);
// CPU time of the whole process (every thread), in seconds.
double cpuSeconds();
// Peak resident set of this process since the last reset, in MiB.
void resetPeakRss();
double peakRssMiB();

struct Summary {
    double median = 0;
    double p99 = 0;
};
Summary summarise(std::vector<double> values);

struct Stream {
    std::string label;
    bool hevc = false;
    std::vector<Bytes> units;
};
// Splits an Annex B file into access units with libavcodec's parser.
Stream loadStream(const std::filesystem::path& path);

struct CodecContextFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

// A plain libavcodec decoder with the client's latency settings, for the baselines.
class RawDecoder {
  public:
    RawDecoder(bool hevc, int threads);
    // Decodes one unit; returns the picture or null.
    AVFrame* decode(const Bytes& unit);

  private:
    ContextPtr context;
    PacketPtr packet{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};
};

// Empties SDL's event queue, as a main loop would.
void pumpEvents();

}  // namespace bench

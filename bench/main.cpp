// Measures the road of a video frame: arrival in FrameQueue -> decode -> upload -> present,
// next to its parts measured alone (libavcodec decoding, and uploading plus presenting on the
// same renderer). Prints a table; asserts nothing about time.
//
// usage: video_bench [--quick] [--sustain SECONDS] STREAM_DIR
// --sustain also holds each 1080p stream at its rate for SECONDS with slice threads.
// STREAM_DIR holds Annex B streams named <label>.h264 or <label>.hevc, all at 60 frames/s.

#include <SDL.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/RemoteCursor.hpp"
#include "base/StreamStats.hpp"
#include "video/FrameQueue.hpp"
#include "video/KeyframeRequester.hpp"
#include "video/StreamOverlay.hpp"
#include "video/VideoDecoder.hpp"
#include "video/VideoPresenter.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr int windowW = 1920;
constexpr int windowH = 1080;
constexpr int streamFps = 60;

double msSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Peak resident set of this process since the last reset, in MiB.
void resetPeakRss() {
    std::ofstream("/proc/self/clear_refs") << "5";
}
double peakRssMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stod(line.substr(6)) / 1024.0;
        }
    }
    return 0;
}

struct Summary {
    double median = 0;
    double p99 = 0;
};
Summary summarise(std::vector<double> values) {
    if (values.empty()) {
        return {};
    }
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        return values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
    };
    return {at(0.5), at(0.99)};
}

struct Stream {
    std::string label;
    bool hevc = false;
    std::vector<Bytes> units;
};

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

// Splits an Annex B file into access units with libavcodec's parser.
Stream loadStream(const std::filesystem::path& path) {
    Stream stream;
    stream.label = path.stem().string();
    stream.hevc = path.extension() == ".hevc";
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    AVCodecParserContext* parser =
        av_parser_init(stream.hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    const AVCodec* codec = avcodec_find_decoder(stream.hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    ContextPtr context(avcodec_alloc_context3(codec));
    if (parser == nullptr || !context) {
        throw std::runtime_error("no parser");
    }
    const std::uint8_t* data = bytes.data();
    int remaining = static_cast<int>(bytes.size());
    auto take = [&](const std::uint8_t* unit, int size) {
        const auto* b = reinterpret_cast<const std::byte*>(unit);
        stream.units.emplace_back(b, b + size);
    };
    while (remaining > 0) {
        std::uint8_t* unit = nullptr;
        int size = 0;
        const int used = av_parser_parse2(parser, context.get(), &unit, &size, data, remaining,
                                          AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        data += used;
        remaining -= used;
        if (size > 0) {
            take(unit, size);
        }
    }
    std::uint8_t* unit = nullptr;
    int size = 0;
    av_parser_parse2(parser, context.get(), &unit, &size, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (size > 0) {
        take(unit, size);
    }
    av_parser_close(parser);
    return stream;
}

// A plain libavcodec decoder with the client's latency settings, for the baselines.
class RawDecoder {
  public:
    RawDecoder(bool hevc, int threads) {
        const AVCodec* codec = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
        context.reset(avcodec_alloc_context3(codec));
        context->flags |= AV_CODEC_FLAG_LOW_DELAY;
        context->thread_type = FF_THREAD_SLICE;
        context->thread_count = threads;
        if (avcodec_open2(context.get(), codec, nullptr) < 0) {
            throw std::runtime_error("decoder would not open");
        }
    }
    // Decodes one unit; returns the picture or null.
    AVFrame* decode(const Bytes& unit) {
        av_packet_unref(packet.get());
        av_new_packet(packet.get(), static_cast<int>(unit.size()));
        std::memcpy(packet->data, unit.data(), unit.size());
        if (avcodec_send_packet(context.get(), packet.get()) < 0) {
            return nullptr;
        }
        return avcodec_receive_frame(context.get(), frame.get()) == 0 ? frame.get() : nullptr;
    }

  private:
    ContextPtr context;
    PacketPtr packet{av_packet_alloc()};
    FramePtr frame{av_frame_alloc()};
};

struct Row {
    std::string stream;
    std::string mode;
    std::string threads;
    std::string upload;
    Summary latency;
    double cpuMsPerFrame = 0;
    std::uint64_t dropped = 0;
    std::uint64_t presented = 0;
    std::size_t frames = 0;
    double peakRss = 0;
    double fps = 0;
    std::uint64_t keyframeRequests = 0;
};

struct Baseline {
    Summary rawDecode1;      // libavcodec, one thread
    Summary rawDecodeSlice;  // libavcodec, slice threads
    Summary bare;            // update texture + clear + copy + present
};

Baseline measureBaseline(const Stream& stream, SDL_Renderer* renderer, int sliceThreads) {
    Baseline baseline;
    for (int threads : {1, sliceThreads}) {
        RawDecoder decoder(stream.hevc, threads);
        std::vector<double> times;
        for (const auto& unit : stream.units) {
            const auto start = Clock::now();
            AVFrame* picture = decoder.decode(unit);
            const auto end = Clock::now();
            if (picture != nullptr) {
                times.push_back(msSince(start, end));
            }
        }
        (threads == 1 ? baseline.rawDecode1 : baseline.rawDecodeSlice) = summarise(times);
    }

    RawDecoder decoder(stream.hevc, sliceThreads);
    SDL_Texture* texture = nullptr;
    int textureW = 0;
    int textureH = 0;
    std::vector<double> times;
    for (const auto& unit : stream.units) {
        AVFrame* p = decoder.decode(unit);
        if (p == nullptr || p->format != AV_PIX_FMT_YUV420P) {
            continue;
        }
        if (texture == nullptr || p->width != textureW || p->height != textureH) {
            SDL_DestroyTexture(texture);
            texture = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                        p->width, p->height);
            textureW = p->width;
            textureH = p->height;
        }
        const auto start = Clock::now();
        SDL_UpdateYUVTexture(texture, nullptr, p->data[0], p->linesize[0], p->data[1],
                             p->linesize[1], p->data[2], p->linesize[2]);
        SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
        SDL_RenderClear(renderer);
        SDL_RenderCopy(renderer, texture, nullptr, nullptr);
        SDL_RenderPresent(renderer);
        times.push_back(msSince(start, Clock::now()));
    }
    SDL_DestroyTexture(texture);
    baseline.bare = summarise(times);
    return baseline;
}

void pumpEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
    }
}

// Feeds the stream through FrameQueue, the decoder and the presenter. Paced: a producer thread
// delivers frames at the stream's rate while the main thread drains as the client's loop does.
// Flat out: each frame is pushed as soon as the previous one was presented. Paced runs may loop
// the stream `passes` times (it starts with a key frame) to hold the rate for longer.
Row runPipeline(const Stream& stream, SDL_Renderer* renderer, int threads, bool paced,
                int passes = 1) {
    Row row;
    row.stream = stream.label;
    row.mode = paced ? "paced 60/s" : "flat out";
    row.threads = threads == 1 ? "1" : "slice x" + std::to_string(threads);
    row.upload = "as decoded";
    row.frames = stream.units.size() * (paced ? passes : 1);
    if (passes > 1) {
        row.mode = "paced " + std::to_string(row.frames / streamFps) + " s";
    }

    StreamStats stats;
    FrameQueue queue(stats);
    VideoDecoderOptions options;
    options.softwareThreads = threads;
    std::uint64_t keyframeRequests = 0;
    KeyframeRequester keyframes([&] { ++keyframeRequests; });
    VideoDecoder decoder(stream.hevc, options);
    const RemoteCursor cursor;
    const StreamOverlay overlay(cursor);
    VideoPresenter presenter(renderer, windowW, windowH, overlay);
    pumpEvents();
    // True when a picture of the frame was presented.
    const auto decodeAndPresent = [&](const Bytes& frame) {
        bool shown = false;
        decoder.decode(frame.data(), frame.size(), std::nullopt, [&](DecodedPicture picture) {
            shown = presenter.present(*picture) || shown;
        });
        return shown;
    };

    resetPeakRss();
    std::vector<double> latencies;
    const double cpuStart = cpuSeconds();
    const auto wallStart = Clock::now();

    if (paced) {
        // Arrival times by buffer address: a frame keeps its bytes' address from the
        // callback, through the queue, to the main loop.
        std::mutex arrivalsMutex;
        std::unordered_map<const std::byte*, Clock::time_point> arrivals;
        std::atomic<bool> producing{true};
        std::thread producer([&] {
            const auto period = std::chrono::nanoseconds(1'000'000'000 / streamFps);
            auto due = Clock::now();
            for (int pass = 0; pass < passes; ++pass) {
                for (const auto& unit : stream.units) {
                    std::this_thread::sleep_until(due);
                    due += period;
                    Bytes copy(unit);
                    {
                        std::lock_guard lock(arrivalsMutex);
                        arrivals[copy.data()] = Clock::now();
                    }
                    queue.push(std::move(copy));
                }
            }
            producing = false;
        });
        for (;;) {
            pumpEvents();
            keyframes.poll(stats.framesDropped.load() + decoder.decodeFailures());
            Bytes frame = queue.tryPop();
            if (frame.empty()) {
                if (!producing && queue.size() == 0) {
                    break;
                }
                SDL_Delay(1);
                continue;
            }
            Clock::time_point arrived;
            {
                std::lock_guard lock(arrivalsMutex);
                arrived = arrivals[frame.data()];
                arrivals.erase(frame.data());
            }
            if (decodeAndPresent(frame)) {
                latencies.push_back(msSince(arrived, Clock::now()));
            }
        }
        producer.join();
    } else {
        for (const auto& unit : stream.units) {
            pumpEvents();
            const auto arrived = Clock::now();
            queue.push(Bytes(unit));
            Bytes frame = queue.tryPop();
            if (decodeAndPresent(frame)) {
                latencies.push_back(msSince(arrived, Clock::now()));
            }
        }
    }

    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
    row.latency = summarise(latencies);
    row.presented = presenter.framesPresented();
    row.cpuMsPerFrame =
        (cpuSeconds() - cpuStart) * 1000.0 / std::max<std::uint64_t>(1, row.presented);
    row.dropped = stats.framesDropped.load();
    row.peakRss = peakRssMiB();
    row.fps = row.presented / wall;
    row.keyframeRequests = keyframeRequests;
    return row;
}

// The present step given NV12 pictures, as a hardware decoder hands them back: uploaded to an
// NV12 texture as they are, or converted to planar 4:2:0 first.
std::pair<Summary, Summary> measureNv12(const Stream& stream, SDL_Renderer* renderer,
                                        int sliceThreads) {
    RawDecoder decoder(stream.hevc, sliceThreads);
    FramePtr nv12(av_frame_alloc());
    SwsContext* toNv12 = nullptr;
    const RemoteCursor cursor;
    const StreamOverlay overlay(cursor);
    VideoPresenter uploading(renderer, windowW, windowH, overlay, VideoPresenterOptions{true});
    VideoPresenter converting(renderer, windowW, windowH, overlay, VideoPresenterOptions{false});
    std::vector<double> uploadTimes;
    std::vector<double> convertTimes;
    for (const auto& unit : stream.units) {
        pumpEvents();
        AVFrame* p = decoder.decode(unit);
        if (p == nullptr) {
            continue;
        }
        if (nv12->width != p->width || nv12->height != p->height) {
            av_frame_unref(nv12.get());
            nv12->format = AV_PIX_FMT_NV12;
            nv12->width = p->width;
            nv12->height = p->height;
            av_frame_get_buffer(nv12.get(), 32);
        }
        toNv12 = sws_getCachedContext(toNv12, p->width, p->height,
                                      static_cast<AVPixelFormat>(p->format), p->width, p->height,
                                      AV_PIX_FMT_NV12, SWS_POINT, nullptr, nullptr, nullptr);
        sws_scale(toNv12, p->data, p->linesize, 0, p->height, nv12->data, nv12->linesize);
        auto start = Clock::now();
        uploading.present(*nv12);
        uploadTimes.push_back(msSince(start, Clock::now()));
        start = Clock::now();
        converting.present(*nv12);
        convertTimes.push_back(msSince(start, Clock::now()));
    }
    sws_freeContext(toNv12);
    return {summarise(uploadTimes), summarise(convertTimes)};
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int sustainSeconds = 0;
    std::string dir;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--sustain") == 0 && i + 1 < argc) {
            sustainSeconds = std::max(0, std::atoi(argv[++i]));
        } else {
            dir = argv[i];
        }
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: video_bench [--quick] [--sustain SECONDS] STREAM_DIR\n");
        return 2;
    }
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const auto ext = entry.path().extension();
        if ((ext == ".h264" || ext == ".hevc") &&
            (!quick || entry.path().stem().string().rfind("1080p", 0) == 0)) {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end(), [](const auto& a, const auto& b) {
        // 1080p, 1440p, 2160p; H.264 before HEVC.
        return a.stem().string() < b.stem().string();
    });

    av_log_set_level(AV_LOG_ERROR);
    if (SDL_Init(SDL_INIT_VIDEO) != 0) {
        std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        return 1;
    }
    SDL_Window* window =
        SDL_CreateWindow("video bench", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, windowW,
                         windowH, SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    SDL_Renderer* renderer =
        window ? SDL_CreateRenderer(window, -1, SDL_RENDERER_ACCELERATED) : nullptr;
    if (renderer == nullptr) {
        std::fprintf(stderr, "no renderer: %s\n", SDL_GetError());
        return 1;
    }
    SDL_RendererInfo info{};
    SDL_GetRendererInfo(renderer, &info);
    const int sliceThreads = std::max(2, static_cast<int>(std::thread::hardware_concurrency()));
    double load[1] = {0};
    getloadavg(load, 1);
    // A loaded machine stretches every wall-clock figure; the load says how far to trust them.
    std::printf("renderer %s, window %dx%d, %u cores, slice threads %d, load average %.1f\n",
                info.name, windowW, windowH, std::thread::hardware_concurrency(), sliceThreads,
                load[0]);

    std::printf("\n%-14s %-10s %-9s | %8s %8s | %8s %8s %8s | %6s | %7s %5s %9s %7s %6s %6s\n",
                "stream", "mode", "threads", "a->p med", "a->p p99", "dec1 med", "decS med",
                "bare med", "ratio", "cpu/fr", "drop", "presented", "RSS MiB", "fps", "kf req");
    std::printf("%s\n", std::string(157, '-').c_str());
    std::vector<std::string> nv12Lines;
    for (const auto& path : paths) {
        const Stream stream = loadStream(path);
        if (stream.units.empty()) {
            continue;
        }
        const Baseline baseline = measureBaseline(stream, renderer, sliceThreads);
        const double parts = baseline.rawDecode1.median + baseline.bare.median;
        const auto printRow = [&](const Row& row) {
            std::printf(
                "%-14s %-10s %-9s | %8.2f %8.2f | %8.2f %8.2f %8.2f | %6.2f | %7.2f %5llu "
                "%4llu/%-4zu %7.1f %6.1f %6llu\n",
                row.stream.c_str(), row.mode.c_str(), row.threads.c_str(), row.latency.median,
                row.latency.p99, baseline.rawDecode1.median, baseline.rawDecodeSlice.median,
                baseline.bare.median, parts > 0 ? row.latency.median / parts : 0.0,
                row.cpuMsPerFrame, static_cast<unsigned long long>(row.dropped),
                static_cast<unsigned long long>(row.presented), row.frames, row.peakRss, row.fps,
                static_cast<unsigned long long>(row.keyframeRequests));
            std::fflush(stdout);
        };
        for (bool paced : {true, false}) {
            for (int threads : {1, sliceThreads}) {
                printRow(runPipeline(stream, renderer, threads, paced));
            }
        }
        if (sustainSeconds > 0 && stream.label.rfind("1080p", 0) == 0) {
            const std::size_t wanted = static_cast<std::size_t>(sustainSeconds) * streamFps;
            const int passes =
                static_cast<int>((wanted + stream.units.size() - 1) / stream.units.size());
            printRow(runPipeline(stream, renderer, sliceThreads, true, passes));
        }
        const auto [upload, convert] = measureNv12(stream, renderer, sliceThreads);
        char line[256];
        std::snprintf(line, sizeof line,
                      "%-14s | NV12 texture %6.2f / %6.2f | convert + IYUV %6.2f / %6.2f",
                      stream.label.c_str(), upload.median, upload.p99, convert.median, convert.p99);
        nv12Lines.emplace_back(line);
    }
    std::printf(
        "\nPresent step for NV12 pictures (what hardware decoders return), ms median / p99:\n");
    for (const auto& line : nv12Lines) {
        std::printf("%s\n", line.c_str());
    }
    std::printf(
        "\na->p: arrival in FrameQueue -> SDL_RenderPresent done (ms). dec1/decS: libavcodec "
        "alone, one thread / slice threads (ms per frame). bare: update texture + copy + present "
        "(ms).\nratio: a->p median / (dec1 + bare). cpu/fr: process CPU ms per presented frame. "
        "RSS: peak "
        "resident set during the run. kf req: key frame requests the losses would send.\n");
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}

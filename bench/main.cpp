// Measures the road of a video frame, arrival -> decode -> upload -> present, next to its parts
// measured alone (libavcodec decoding, and uploading plus presenting on the same renderer):
// the client's threaded path, and decoding and presenting one after the other on one thread.
// Prints a table; asserts nothing about time.
//
// usage: video_bench [--quick] [--sustain SECONDS] STREAM_DIR
// --quick: the 1080p and 1440p H.264 streams only. --sustain also holds each 1080p stream at
// its rate for SECONDS on the threaded path.
// STREAM_DIR holds Annex B streams named <label>.h264 or <label>.hevc, all at 60 frames/s.

#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "Baselines.hpp"
#include "BenchSupport.hpp"
#include "PathRuns.hpp"
#include "video/RendererChoice.hpp"

using namespace bench;

namespace {

bool wanted(const std::filesystem::path& path, bool quick) {
    const auto ext = path.extension();
    if (ext != ".h264" && ext != ".hevc") {
        return false;
    }
    const std::string label = path.stem().string();
    return !quick || label.rfind("1080p", 0) == 0 || label == "1440p60-h264";
}

void printHeader() {
    std::printf(
        "\n%-13s %-10s %-9s | %7s %7s | %6s %6s %6s | %5s | %6s %6s | %6s %5s %5s %9s %7s %5s "
        "%4s\n",
        "stream", "mode", "path", "a->p", "a->p", "dec1", "decS", "bare", "ratio", "dec", "pres",
        "cpu/fr", "drop", "skip", "presented", "RSS MiB", "fps", "kf");
    std::printf("%-13s %-10s %-9s | %7s %7s | %6s %6s %6s | %5s | %6s %6s |\n", "", "", "",
                "median", "p99", "median", "median", "median", "", "median", "median");
    std::printf("%s\n", std::string(150, '-').c_str());
}

void printRow(const Row& row, const Baseline& baseline) {
    const double parts = baseline.rawDecode1.median + baseline.bare.median;
    const auto dash = [](double value, char* text) {
        if (value > 0) {
            std::snprintf(text, 16, "%6.2f", value);
        } else {
            std::snprintf(text, 16, "%6s", "-");
        }
        return text;
    };
    char decode[16];
    char present[16];
    std::printf(
        "%-13s %-10s %-9s | %7.2f %7.2f | %6.2f %6.2f %6.2f | %5.2f | %s %s | %6.2f %5llu %5llu "
        "%4llu/%-4zu %7.1f %5.1f %4llu\n",
        row.stream.c_str(), row.mode.c_str(), row.path.c_str(), row.latency.median, row.latency.p99,
        baseline.rawDecode1.median, baseline.rawDecodeSlice.median, baseline.bare.median,
        parts > 0 ? row.latency.median / parts : 0.0, dash(row.decodeMs, decode),
        dash(row.presentMs, present), row.cpuMsPerFrame,
        static_cast<unsigned long long>(row.dropped), static_cast<unsigned long long>(row.skipped),
        static_cast<unsigned long long>(row.presented), row.frames, row.peakRss, row.fps,
        static_cast<unsigned long long>(row.keyframeRequests));
    std::fflush(stdout);
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
        if (wanted(entry.path(), quick)) {
            paths.push_back(entry.path());
        }
    }
    std::sort(paths.begin(), paths.end(), [](const auto& a, const auto& b) {
        // 1080p, 1440p, 2160p; H.264 before HEVC.
        return a.stem().string() < b.stem().string();
    });

    av_log_set_level(AV_LOG_ERROR);
    chooseRenderer();  // as the client does
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

    printHeader();
    std::vector<std::string> nv12Lines;
    for (const auto& path : paths) {
        const Stream stream = loadStream(path);
        if (stream.units.empty()) {
            continue;
        }
        const Baseline baseline = measureBaseline(stream, renderer, sliceThreads);
        // The client's configuration first, then the serial path it replaced.
        printRow(runThreaded(stream, renderer), baseline);
        for (bool paced : {true, false}) {
            for (int threads : {1, sliceThreads}) {
                printRow(runSerial(stream, renderer, threads, paced), baseline);
            }
        }
        if (sustainSeconds > 0 && stream.label.rfind("1080p", 0) == 0) {
            const std::size_t wanted = static_cast<std::size_t>(sustainSeconds) * streamFps;
            const int passes =
                static_cast<int>((wanted + stream.units.size() - 1) / stream.units.size());
            printRow(runThreaded(stream, renderer, passes), baseline);
        }
        const auto [upload, convert] = measureNv12(stream, renderer, sliceThreads);
        char line[256];
        std::snprintf(line, sizeof line,
                      "%-13s | NV12 texture %6.2f / %6.2f | convert + IYUV %6.2f / %6.2f",
                      stream.label.c_str(), upload.median, upload.p99, convert.median, convert.p99);
        nv12Lines.emplace_back(line);
    }
    std::printf(
        "\nPresent step for NV12 pictures (what hardware decoders return), ms median / p99:\n");
    for (const auto& line : nv12Lines) {
        std::printf("%s\n", line.c_str());
    }
    std::printf(
        "\na->p: arrival in the encoded queue -> SDL_RenderPresent done (ms). dec1/decS: "
        "libavcodec alone, one thread / slice threads (ms per frame). bare: update texture + "
        "copy + present (ms).\nratio: a->p median / (dec1 + bare). dec/pres: the threaded "
        "path's own decode and present steps (ms). cpu/fr: process CPU ms per presented "
        "frame.\ndrop: encoded frames dropped. skip: pictures overtaken before shown. RSS: peak "
        "resident set during the run. kf: key-frame requests.\nthreaded: the client's path "
        "(decode thread, newest picture presented by the main thread). serial: decode and "
        "present one after the other on the main thread.\n");
    SDL_DestroyRenderer(renderer);
    SDL_DestroyWindow(window);
    SDL_Quit();
    return 0;
}

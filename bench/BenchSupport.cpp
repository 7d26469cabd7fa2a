#include "BenchSupport.hpp"

#include <SDL.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace bench {

double msSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

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

RawDecoder::RawDecoder(bool hevc, int threads) {
    const AVCodec* codec = avcodec_find_decoder(hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    context.reset(avcodec_alloc_context3(codec));
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    context->thread_type = FF_THREAD_SLICE;
    context->thread_count = threads;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        throw std::runtime_error("decoder would not open");
    }
}

AVFrame* RawDecoder::decode(const Bytes& unit) {
    av_packet_unref(packet.get());
    av_new_packet(packet.get(), static_cast<int>(unit.size()));
    std::memcpy(packet->data, unit.data(), unit.size());
    if (avcodec_send_packet(context.get(), packet.get()) < 0) {
        return nullptr;
    }
    return avcodec_receive_frame(context.get(), frame.get()) == 0 ? frame.get() : nullptr;
}

void pumpEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) {
    }
}

}  // namespace bench

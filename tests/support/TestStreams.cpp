#include "support/TestStreams.hpp"

#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace teststreams {

Painter solid(std::uint8_t y, std::uint8_t u, std::uint8_t v) {
    return [=](AVFrame& p, int) {
        for (int row = 0; row < p.height; ++row) {
            std::fill_n(p.data[0] + row * p.linesize[0], p.width, y);
        }
        for (int row = 0; row < p.height / 2; ++row) {
            std::fill_n(p.data[1] + row * p.linesize[1], p.width / 2, u);
            std::fill_n(p.data[2] + row * p.linesize[2], p.width / 2, v);
        }
    };
}

Painter gradient() {
    return [](AVFrame& p, int index) {
        for (int row = 0; row < p.height; ++row) {
            for (int col = 0; col < p.width; ++col) {
                p.data[0][row * p.linesize[0] + col] = static_cast<std::uint8_t>(
                    32 + (col * 160 / p.width + row * 32 / p.height + index * 2) % 192);
            }
        }
        for (int row = 0; row < p.height / 2; ++row) {
            for (int col = 0; col < p.width / 2; ++col) {
                p.data[1][row * p.linesize[1] + col] =
                    static_cast<std::uint8_t>(64 + row * 128 / (p.height / 2));
                p.data[2][row * p.linesize[2] + col] =
                    static_cast<std::uint8_t>(192 - col * 128 / (p.width / 2));
            }
        }
    };
}

static FramePtr allocated(int width, int height, int format) {
    FramePtr f(av_frame_alloc());
    f->format = format;
    f->width = width;
    f->height = height;
    if (av_frame_get_buffer(f.get(), 32) < 0) {
        throw std::runtime_error("picture allocation failed");
    }
    return f;
}

FramePtr picture(int width, int height, const Painter& paint, int index) {
    FramePtr f = allocated(width, height, AV_PIX_FMT_YUV420P);
    paint(*f, index);
    return f;
}

FramePtr convert(const AVFrame& source, int format) {
    FramePtr f = allocated(source.width, source.height, format);
    SwsContext* sws = sws_getContext(
        source.width, source.height, static_cast<AVPixelFormat>(source.format), source.width,
        source.height, static_cast<AVPixelFormat>(format), SWS_POINT, nullptr, nullptr, nullptr);
    if (sws == nullptr) {
        throw std::runtime_error("no conversion");
    }
    sws_scale(sws, source.data, source.linesize, 0, source.height, f->data, f->linesize);
    sws_freeContext(sws);
    return f;
}

std::vector<rtc::binary> encode(bool hevc, int width, int height, int count, const Painter& paint,
                                int slices) {
    const AVCodec* codec = avcodec_find_encoder_by_name(hevc ? "libx265" : "libx264");
    if (codec == nullptr) {
        throw std::runtime_error(hevc ? "libx265 missing" : "libx264 missing");
    }
    std::unique_ptr<AVCodecContext, decltype([](AVCodecContext* c) { avcodec_free_context(&c); })>
        context(avcodec_alloc_context3(codec));
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, 60};
    context->gop_size = 600;
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    const std::string params =
        std::string(hevc ? "log-level=error:" : "") + "slices=" + std::to_string(slices);
    av_opt_set(context->priv_data, hevc ? "x265-params" : "x264-params", params.c_str(), 0);
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        throw std::runtime_error("encoder would not open");
    }
    std::unique_ptr<AVPacket, decltype([](AVPacket* p) { av_packet_free(&p); })> packet(
        av_packet_alloc());
    std::vector<rtc::binary> units;
    auto drain = [&] {
        while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
            const auto* bytes = reinterpret_cast<const std::byte*>(packet->data);
            units.emplace_back(bytes, bytes + packet->size);
            av_packet_unref(packet.get());
        }
    };
    for (int i = 0; i < count; ++i) {
        FramePtr input = picture(width, height, paint, i);
        input->pts = i;
        if (avcodec_send_frame(context.get(), input.get()) < 0) {
            throw std::runtime_error("encoder refused a picture");
        }
        drain();
    }
    avcodec_send_frame(context.get(), nullptr);
    drain();
    return units;
}

}  // namespace teststreams

// libx265 keeps a few encoder buffers past x265_encoder_close; they are the library's, not
// ours, so leak checking in sanitizer builds leaves them out.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

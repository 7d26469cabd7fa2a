#pragma once

#include <vector>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixfmt.h>
}

// A kind of hardware video decoding FFmpeg can reach on this platform: the device to create
// and the pixel format its decoded surfaces carry.
struct HardwareDecoder {
    AVHWDeviceType deviceType;
    AVPixelFormat surfaceFormat;
    const char* name;  // as the start-up log names it
};

// The devices to try, best first. Each is tried with av_hwdevice_ctx_create and skipped when
// it cannot be opened; with none left, decoding runs in software.
std::vector<HardwareDecoder> hardwareDecoders();

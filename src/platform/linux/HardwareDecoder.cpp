#include "platform/HardwareDecoder.hpp"

std::vector<HardwareDecoder> hardwareDecoders() {
    // VA-API covers Intel and AMD; CUDA (NVDEC) covers NVIDIA, whose VA-API support is poor.
    return {
        {AV_HWDEVICE_TYPE_VAAPI, AV_PIX_FMT_VAAPI, "vaapi"},
        {AV_HWDEVICE_TYPE_CUDA, AV_PIX_FMT_CUDA, "cuda"},
    };
}

#include "platform/HardwareDecoder.hpp"

std::vector<HardwareDecoder> hardwareDecoders() {
    return {
        {AV_HWDEVICE_TYPE_D3D11VA, AV_PIX_FMT_D3D11, "d3d11va"},
    };
}

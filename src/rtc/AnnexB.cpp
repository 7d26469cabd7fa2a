#include "rtc/AnnexB.hpp"

namespace rtc {

binary withLongStartCodes(const std::uint8_t* data, std::size_t size) {
    binary out;
    out.reserve(size + 16);
    std::size_t copied = 0;
    for (std::size_t i = 0; i + 2 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            bool alreadyLong = i > 0 && data[i - 1] == 0;
            if (!alreadyLong) {
                auto* from = reinterpret_cast<const byte*>(data);
                out.insert(out.end(), from + copied, from + i);
                out.push_back(byte{0});
                copied = i;
            }
            i += 2;
        }
    }
    auto* from = reinterpret_cast<const byte*>(data);
    out.insert(out.end(), from + copied, from + size);
    return out;
}

}  // namespace rtc

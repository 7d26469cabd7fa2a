// The offer's text as the rtc layer sees it before the engine does: its m-sections and the
// bundle credential rewrite. The rewrite must keep every section and be stable, and the
// engine must get the whole text that was checked.

#include <cstring>

#include "ServerReply.hpp"
#include "rtc/Sdp.hpp"
#include "rtc/rtc.hpp"

namespace {

bool sameMedia(const std::vector<rtc::sdp::Media>& a, const std::vector<rtc::sdp::Media>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].kind != b[i].kind || a[i].mid != b[i].mid) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string sdp = rtc::Description(text, "offer");
    std::vector<rtc::sdp::Media> media;
    try {
        media = rtc::sdp::listMedia(sdp);
    } catch (const std::invalid_argument&) {
        return 0;  // refused before the engine sees it
    }
    const std::string unified = rtc::sdp::unifyBundleCredentials(sdp);
    // The engine is handed the text as a C string: it must read all of what was listed.
    FUZZ_CHECK(std::strlen(unified.c_str()) == unified.size());
    FUZZ_CHECK(sameMedia(media, rtc::sdp::listMedia(unified)));
    FUZZ_CHECK(rtc::sdp::unifyBundleCredentials(unified) == unified);
    return 0;
}

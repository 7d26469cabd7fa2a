// The offer's text as the rtc layer sees it before the engine does: its m-sections, the
// bundle credential rewrite and the shaping to the sections the client uses. The rewrite
// must keep every section and be stable, the engine must get the whole text that was
// checked, and the answer must account for every section of the offer.

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

    rtc::sdp::ShapedOffer shaped;
    try {
        shaped = rtc::sdp::shapeOffer(unified);
    } catch (const std::invalid_argument&) {
        return 0;  // nothing the client uses
    }
    FUZZ_CHECK(shaped.kept.size() <= 3 && shaped.sections.size() == media.size());
    FUZZ_CHECK(sameMedia(shaped.kept, rtc::sdp::listMedia(shaped.text)));
    std::string engineAnswer = "v=0\r\n";
    for (const auto& section : shaped.kept) {
        engineAnswer += "m=" + section.kind + " 9 X 0\r\n";
    }
    FUZZ_CHECK(rtc::sdp::listMedia(rtc::sdp::completeAnswer(engineAnswer, shaped)).size() ==
               media.size());
    return 0;
}

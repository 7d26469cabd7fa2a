// A remote candidate with the media id the server gave it, placed against the sections of the
// stand-in service's offer as the rtc layer does before handing it to the engine.

#include <fuzzer/FuzzedDataProvider.h>

#include "ServerReply.hpp"
#include "rtc/Sdp.hpp"
#include "rtc/rtc.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<rtc::sdp::Media> media = rtc::sdp::listMedia(
        "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\na=group:BUNDLE audio video "
        "application0\r\nm=audio 9 UDP/TLS/RTP/SAVPF 111\r\na=mid:audio\r\n"
        "m=video 0 UDP/TLS/RTP/SAVPF 96\r\na=mid:video\r\n"
        "m=application 0 UDP/DTLS/SCTP webrtc-datachannel\r\na=mid:application0\r\n");

    FuzzedDataProvider input(data, size);
    const std::string mid = input.ConsumeRandomLengthString();
    const rtc::Candidate candidate(input.ConsumeRemainingBytesAsString(), mid);
    try {
        const auto placed =
            rtc::sdp::placeRemoteCandidate(media, candidate.mid(), candidate.candidate());
        FUZZ_CHECK(placed.mline < media.size());
        FUZZ_CHECK(media[placed.mline].mid == mid);
        FUZZ_CHECK(placed.text.empty() || placed.text.starts_with("candidate:"));
    } catch (const std::invalid_argument&) {
        // Refused: the poller reports it and goes on.
    }
    return 0;
}

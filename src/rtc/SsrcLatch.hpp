#pragma once

// One stream per payload type on the way into webrtcbin's RTP bin. The bin makes a jitter
// buffer, with threads of its own, for every sender SSRC it sees, and webrtcbin a new source
// pad; a sender that changes its SSRC every 100 ms would add threads without end. So the first
// SSRC seen with a payload type stays the stream's: packets from a newer SSRC carry on as that
// stream (a sender that restarted keeps its picture), packets from an SSRC it replaced are
// dropped, and payload types the answer did not take never get in.

#include <gst/gst.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "rtc/Glib.hpp"

namespace rtc {

class SsrcLatch : public std::enable_shared_from_this<SsrcLatch> {
  public:
    struct Verdict {
        bool keep = true;
        std::uint32_t ssrc = 0;   // the SSRC the packet goes on with
        bool firstExtra = false;  // the first SSRC that was not its stream's first
    };

    // The answer's payload types; until set, every payload type is taken.
    void allow(std::set<std::uint8_t> payloadTypes);
    Verdict rtp(std::uint8_t payloadType, std::uint32_t ssrc);
    // ssrc: the sender of an RTCP compound packet (its first report or feedback); only the
    // senders of the streams get in.
    Verdict rtcp(std::uint32_t ssrc);

    // Puts the latch on the RTP and RTCP inputs of the RTP bin, as webrtcbin adds them.
    void watch(GstElement* rtpBin);

  private:
    struct Stream {
        std::uint32_t first;
        std::uint32_t current;
    };
    bool retired(std::uint32_t ssrc) const;
    Verdict extra(Stream& stream, std::uint32_t ssrc);

    std::mutex mutex;
    std::set<std::uint8_t> allowed;
    bool restricted = false;
    std::map<std::uint8_t, Stream> streams;
    std::deque<std::uint32_t> replaced;  // the latest SSRCs that a newer one replaced
    bool extraSeen = false;
    glib::Ref<GstElement> bin;
};

}  // namespace rtc

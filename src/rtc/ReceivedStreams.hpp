#pragma once

// The RTP streams a connection receives, one per jitter buffer that webrtcbin's RTP bin makes,
// each followed from the packets entering its jitter buffer. Tracks find theirs by payload
// type. Also what the answer says about retransmission, and how soon feedback goes out.

#include <gst/gst.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "rtc/Glib.hpp"
#include "rtc/ReceivedStream.hpp"

namespace rtc {

class ReceivedStreams : public std::enable_shared_from_this<ReceivedStreams> {
  public:
    // Follows every jitter buffer the element makes from now on.
    void watch(GstElement* webrtc);
    // The answer is set: its retransmission payload types, and prompt retransmission requests.
    void answered(const std::string& answer);

    // The newest stream whose packets carry this payload type; null when none arrived yet.
    std::shared_ptr<ReceivedStream> find(std::uint8_t payloadType) const;
    // The answer accepted retransmission (RTX) for this payload type.
    bool retransmits(std::uint8_t payloadType) const;

  private:
    void added(GstElement* jitterBuffer);

    glib::Ref<GstElement> rtpBin;

    mutable std::mutex mutex;
    std::vector<std::shared_ptr<ReceivedStream>> streams;
    std::set<std::uint8_t> retransmitted;
};

}  // namespace rtc

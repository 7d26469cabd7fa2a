#include <gtest/gtest.h>

#include "app/StatisticsTitle.hpp"

namespace {

// Every figure distinct, so a counter in another's place shows. The main loop writes both lines
// every 2 s; the end-to-end stream tests read them from the log.
TEST(StatisticsTitle, titleAndVideoLineNameEachFigure) {
    EXPECT_EQ(statisticsTitle(1200, 1180, 3000, 2),
              "Quorvanta | received=1200 decoded=1180 audio=3000 audio_errors=2");

    VideoPipeline::Figures video;
    video.decoded = 1190;
    video.presented = 1180;
    video.skipped = 4;
    video.broken = 1;
    video.keyframeRequests = 6;
    video.arrivalToPresent = {12.34, 31.56, 40};
    video.decode = {3.25, 9, 9};
    video.present = {0.04, 1, 1};
    video.longestGapMs = 250;
    rtc::ReceiveStats packets;
    packets.packetsLost = 5;
    packets.packetsOutOfOrder = 3;
    EXPECT_EQ(videoStatisticsLine(1200, 7, video, packets),
              "video received=1200 decoded=1190 presented=1180 encoded_dropped=7 skipped=4 "
              "broken=1 keyframe_requests=6 packets_lost=5 out_of_order=3 "
              "arrival_to_present_ms=12.3/31.6 decode_ms=3.2 present_ms=0.0 "
              "longest_gap_ms=250.0");
}

}  // namespace

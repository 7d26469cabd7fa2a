#include "app/StatisticsTitle.hpp"

#include <cstdio>

std::string statisticsTitle(std::uint64_t framesReceived, std::uint64_t framesPresented,
                            std::uint64_t audioPacketsPlayed, std::uint64_t audioErrors) {
    return "Quorvanta | received=" + std::to_string(framesReceived) +
           " decoded=" + std::to_string(framesPresented) +
           " audio=" + std::to_string(audioPacketsPlayed) +
           " audio_errors=" + std::to_string(audioErrors);
}

std::string videoStatisticsLine(std::uint64_t framesReceived, std::uint64_t encodedDropped,
                                const VideoPipeline::Figures& video,
                                const rtc::ReceiveStats& packets) {
    const auto ms = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", value);
        return std::string(text);
    };
    return "video received=" + std::to_string(framesReceived) +
           " decoded=" + std::to_string(video.decoded) +
           " presented=" + std::to_string(video.presented) +
           " encoded_dropped=" + std::to_string(encodedDropped) +
           " skipped=" + std::to_string(video.skipped) + " broken=" + std::to_string(video.broken) +
           " keyframe_requests=" + std::to_string(video.keyframeRequests) +
           " packets_lost=" + std::to_string(packets.packetsLost) +
           " out_of_order=" + std::to_string(packets.packetsOutOfOrder) +
           " arrival_to_present_ms=" + ms(video.arrivalToPresent.median) + "/" +
           ms(video.arrivalToPresent.p99) + " decode_ms=" + ms(video.decode.median) +
           " present_ms=" + ms(video.present.median) + " longest_gap_ms=" + ms(video.longestGapMs);
}

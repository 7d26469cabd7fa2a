#include "app/StatisticsTitle.hpp"

std::string statisticsTitle(std::uint64_t framesReceived, std::uint64_t framesPresented,
                            std::uint64_t audioPacketsPlayed, std::uint64_t audioErrors) {
    return "Quorvanta | received=" + std::to_string(framesReceived) +
           " decoded=" + std::to_string(framesPresented) +
           " audio=" + std::to_string(audioPacketsPlayed) +
           " audio_errors=" + std::to_string(audioErrors);
}

std::string frameOrderLine(std::uint64_t framesDropped, std::uint64_t framesOutOfOrder) {
    return "frames_dropped=" + std::to_string(framesDropped) +
           " frames_out_of_order=" + std::to_string(framesOutOfOrder);
}

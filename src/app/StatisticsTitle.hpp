#pragma once

#include <cstdint>
#include <string>

#include "rtc/rtc.hpp"
#include "video/VideoPipeline.hpp"

// The window title and log line of the stream statistics, refreshed every 2 s.
std::string statisticsTitle(std::uint64_t framesReceived, std::uint64_t framesPresented,
                            std::uint64_t audioPacketsPlayed, std::uint64_t audioErrors);

// The log line written with the title: the video path's figures, which the title leaves out.
// Counters are running totals; the durations cover the last interval.
std::string videoStatisticsLine(std::uint64_t framesReceived, std::uint64_t encodedDropped,
                                const VideoPipeline::Figures& video,
                                const rtc::ReceiveStats& packets);

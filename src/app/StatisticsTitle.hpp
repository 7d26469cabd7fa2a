#pragma once

#include <cstdint>
#include <string>

// The window title and log line of the stream statistics, refreshed every 2 s.
std::string statisticsTitle(std::uint64_t framesReceived, std::uint64_t framesPresented,
                            std::uint64_t audioPacketsPlayed, std::uint64_t audioErrors);

// The log line written with the title: frames the queue dropped and pictures presented out
// of order, which the title leaves out.
std::string frameOrderLine(std::uint64_t framesDropped, std::uint64_t framesOutOfOrder);

#pragma once

// Command line of the stand-in service.

#include <string>
#include <vector>

#include "NetworkImpairment.hpp"

struct ServiceOptions {
    int port = 8080;
    std::string email = "demo@quorvanta.local";
    std::string password = "demo";
    std::string sessionId = "demo-session";
    std::string recordFile;    // empty: nothing is recorded
    std::string scenarioFile;  // empty: no scripted replies
    int sessionSeconds = 0;    // 0: a connected session never ends on its own
    std::string videoFile;     // empty: the peer encodes a scene
    NetworkImpairment impairment;
    bool help = false;
    bool version = false;
};

// Throws std::invalid_argument with a message naming the bad argument.
ServiceOptions parseServiceOptions(const std::vector<std::string>& args);

std::string serviceUsage();

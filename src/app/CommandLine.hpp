#pragma once

#include <string>
#include <vector>

// What the command line asks for. Anything starting with "-" that is not an option we know
// is refused, so a mistyped option is never taken for the service's address.
struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };

    Action action = Action::Run;
    std::vector<std::string> positional;  // BASE_URL, then SESSION_ID
    std::string refused;                  // the argument that made it Refuse
};

// `arguments` excludes the program name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

std::string clientUsage();
std::string clientVersion();

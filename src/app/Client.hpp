#pragma once

#include <string>
#include <vector>

class EventLog;

inline constexpr int loginRefusedExitCode = 2;

// The whole run of the client after process set-up: start-up, main loop, shutdown.
// `arguments` excludes the program name; `log` is the run's log, opened by main. Returns the
// exit code; start-up failures leave as exceptions for main to report.
int runClient(const std::vector<std::string>& arguments, EventLog& log);

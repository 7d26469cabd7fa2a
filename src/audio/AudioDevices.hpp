#pragma once

#include <string>
#include <vector>

// Names (UTF-8) of the audio devices SDL knows, in SDL's order, taken fresh at every call so
// a menu always shows what is plugged in now. Empty when there are none.
std::vector<std::string> listOutputDevices();
std::vector<std::string> listCaptureDevices();

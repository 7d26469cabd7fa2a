#include "audio/AudioDevices.hpp"

#include <SDL.h>

namespace {

std::vector<std::string> listDevices(int capture) {
    std::vector<std::string> names;
    const int count = SDL_GetNumAudioDevices(capture);
    for (int index = 0; index < count; ++index) {
        if (const char* name = SDL_GetAudioDeviceName(index, capture)) {
            names.emplace_back(name);
        }
    }
    return names;
}

}  // namespace

std::vector<std::string> listOutputDevices() {
    return listDevices(0);
}

std::vector<std::string> listCaptureDevices() {
    return listDevices(1);
}

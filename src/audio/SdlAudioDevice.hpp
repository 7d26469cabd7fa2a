#pragma once

#include <SDL.h>

#include <string>

// One open SDL audio device, closed when the owner goes. The device must be closed before
// SDL's audio subsystem is shut down, so owners are destroyed before SDL_Quit.
class SdlAudioDevice {
  public:
    SdlAudioDevice() = default;
    // name: empty for the system's default device. Leaves the device closed (id 0) when SDL
    // refuses; SDL_GetError then says why.
    SdlAudioDevice(const std::string& name, bool capture, const SDL_AudioSpec& wanted)
        : device(SDL_OpenAudioDevice(name.empty() ? nullptr : name.c_str(), capture ? 1 : 0,
                                     &wanted, nullptr, 0)) {}
    ~SdlAudioDevice() {
        if (device != 0) {
            SDL_CloseAudioDevice(device);
        }
    }
    SdlAudioDevice(const SdlAudioDevice&) = delete;
    SdlAudioDevice& operator=(const SdlAudioDevice&) = delete;
    SdlAudioDevice(SdlAudioDevice&& other) noexcept : device(other.device) { other.device = 0; }
    SdlAudioDevice& operator=(SdlAudioDevice&& other) noexcept {
        if (this != &other) {
            if (device != 0) {
                SDL_CloseAudioDevice(device);
            }
            device = other.device;
            other.device = 0;
        }
        return *this;
    }

    SDL_AudioDeviceID id() const { return device; }
    explicit operator bool() const { return device != 0; }

  private:
    SDL_AudioDeviceID device = 0;
};

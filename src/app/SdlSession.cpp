#include "app/SdlSession.hpp"

#include <stdexcept>

#include "video/RendererChoice.hpp"

void SdlQuitSender::send() {
    std::lock_guard lock(mutex);
    if (running) {
        SDL_Event event{};
        event.type = SDL_QUIT;
        SDL_PushEvent(&event);
    }
}

SdlSession::SdlSession(SdlQuitSender& quit) : quit(quit) {
    // The client's own handlers turn SIGINT and SIGTERM into a stop; SDL must not take them.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_Init(SDL_INIT_AUDIO | SDL_INIT_VIDEO | SDL_INIT_GAMECONTROLLER) != 0) {
        throw std::runtime_error(SDL_GetError());
    }
    std::lock_guard lock(quit.mutex);
    quit.running = true;
}

SdlSession::~SdlSession() {
    {
        std::lock_guard lock(quit.mutex);
        quit.running = false;
    }
    SDL_Quit();
}

StreamWindow createStreamWindow() {
    chooseRenderer();
    StreamWindow stream;
    stream.window.reset(SDL_CreateWindow(streamWindowTitle, SDL_WINDOWPOS_CENTERED,
                                         SDL_WINDOWPOS_CENTERED, 1280, 720,
                                         SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI));
    if (!stream.window) {
        throw std::runtime_error(SDL_GetError());
    }
    // No vsync: presenting must never wait for the display.
    stream.renderer.reset(SDL_CreateRenderer(stream.window.get(), -1, SDL_RENDERER_ACCELERATED));
    if (!stream.renderer) {
        throw std::runtime_error(SDL_GetError());
    }
    stream.nativeHandle = platform::nativeWindowHandle(stream.window.get());
    return stream;
}

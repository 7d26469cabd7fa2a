#include "app/StartupProgress.hpp"

const char* StartupProgress::text(Stage stage) {
    switch (stage) {
        case Stage::LoggingIn:
            return "Logging in\u2026";
        case Stage::FindingSession:
            return "Finding the session\u2026";
        case Stage::WaitingForOffer:
            return "Waiting for the server's offer\u2026";
        case Stage::Connecting:
            return "Connecting\u2026";
        case Stage::WaitingForPicture:
            return "Waiting for the first picture\u2026";
    }
    return "";
}

StartupProgress::StartupProgress(SDL_Renderer* renderer, std::function<void()> wake)
    : renderer(renderer), wake(std::move(wake)), label(renderer, 20, false, {200, 200, 200, 255}) {}

void StartupProgress::show(Stage next) {
    stage.store(static_cast<int>(next));
    drawWhenChanged();
}

void StartupProgress::advance(Stage next) {
    int current = stage.load();
    while (current < static_cast<int>(next) &&
           !stage.compare_exchange_weak(current, static_cast<int>(next))) {
    }
    if (current < static_cast<int>(next) && wake) {
        wake();
    }
}

void StartupProgress::drawWhenChanged() {
    const int current = stage.load();
    if (current != drawn) {
        drawn = current;
        draw(static_cast<Stage>(current));
    }
}

void StartupProgress::draw(Stage current) {
    // A window just made may not be on screen yet; its first events let it get there.
    SDL_PumpEvents();
    label.setLines({text(current)});
    int width = 0;
    int height = 0;
    SDL_GetRendererOutputSize(renderer, &width, &height);
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    label.draw((width - label.width()) / 2, (height - label.height()) / 2);
    SDL_RenderPresent(renderer);
}

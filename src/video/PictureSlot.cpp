#include "video/PictureSlot.hpp"

#include <utility>

bool PictureSlot::put(ReadyPicture picture) {
    std::optional<ReadyPicture> overtaken;
    {
        std::lock_guard lock(mutex);
        overtaken = std::exchange(newest, std::move(picture));
    }
    // Released outside the lock.
    if (overtaken) {
        skippedCount.fetch_add(1);
        return false;
    }
    return true;
}

std::optional<ReadyPicture> PictureSlot::take() {
    std::lock_guard lock(mutex);
    return std::exchange(newest, std::nullopt);
}

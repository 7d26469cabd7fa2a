#pragma once

#include <atomic>
#include <cstdint>

// The server's cursor as its last "cursor" message gave it, in the 0 to 65535 space across
// the shown picture. Written on an engine thread, read by the renderer; the three fields are
// separate atomics, so a reader may see a new x with an old y for one frame.
struct RemoteCursor {
    std::atomic<bool> cursorVisible{false};
    std::atomic<std::int32_t> cursorX{32768};
    std::atomic<std::int32_t> cursorY{32768};
};

#pragma once

// Picks SDL's renderer for this machine; call before the first window opens. Without graphics
// hardware OpenGL is emulated on the processor and draws no faster than SDL's own renderer,
// which also keeps the window's pixels in memory rather than in one more OpenGL texture: at
// 1080p it took 5 ms a picture against 12, a core less, and none of the emulator's 60 MiB.
// The player's SDL_RENDER_DRIVER still wins.
void chooseRenderer();

#pragma once

#include <cstdint>

// SDL keycode to Windows virtual-key code through a fixed table; 0 for keys the server is not
// sent. A keycode names the key by what the keyboard layout prints on it, so the key that
// types "a" sends 65 wherever it sits. Letters go by key, not by character: Shift+A is Shift
// and A.
std::uint16_t mapKeyToVirtualKey(std::int32_t keycode);

// SDL mouse button to the wire's button number (1 left, 2 right, 3 middle, 4 and 5 the side
// buttons); 0 for buttons that are not sent.
std::int32_t mapMouseButton(std::uint8_t button);

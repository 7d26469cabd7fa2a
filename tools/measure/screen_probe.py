"""Tells within a millisecond or two when a picture first shows on an X display. A whole
screenshot (ImageMagick's import, then the mean of 2.7 MB in Python) takes 60 to 100 ms here,
which would add that much, at random, to a first-picture time; this reads a small patch of the
screen straight from the X server."""

import ctypes

_X11 = ctypes.CDLL("libX11.so.6")
_X11.XOpenDisplay.restype = ctypes.c_void_p
_X11.XOpenDisplay.argtypes = [ctypes.c_char_p]
_X11.XCloseDisplay.argtypes = [ctypes.c_void_p]
_X11.XDefaultRootWindow.restype = ctypes.c_ulong
_X11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
_X11.XGetImage.restype = ctypes.c_void_p
_X11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                           ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
_X11.XGetPixel.restype = ctypes.c_ulong
_X11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
_X11.XDestroyImage.argtypes = [ctypes.c_void_p]

_ALL_PLANES = 0xFFFFFFFF
_Z_PIXMAP = 2
_PATCH = 64
_STEP = 8


class ScreenProbe:
    """A patch half-way up the top half of the screen, sampled on an 8x8 grid; lit when more
    than a sixth of the samples are not near black. The progress text is drawn at the middle,
    so the patch stays clear of it."""

    def __init__(self, display, width, height):
        self.display = _X11.XOpenDisplay(display.encode())
        if not self.display:
            raise RuntimeError(f"cannot open the display {display}")
        self.root = _X11.XDefaultRootWindow(self.display)
        self.x, self.y = width // 2 - _PATCH // 2, height // 4 - _PATCH // 2

    def lit(self):
        image = _X11.XGetImage(self.display, self.root, self.x, self.y, _PATCH, _PATCH,
                               _ALL_PLANES, _Z_PIXMAP)
        if not image:
            return False
        try:
            samples = [_X11.XGetPixel(image, x, y) for y in range(0, _PATCH, _STEP)
                       for x in range(0, _PATCH, _STEP)]
        finally:
            _X11.XDestroyImage(image)
        return sum(1 for pixel in samples if pixel & 0xE0E0E0) > len(samples) // 6

    def close(self):
        _X11.XCloseDisplay(self.display)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

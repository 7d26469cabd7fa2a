// A message from the server on the "input" data channel, as text and as binary, and the
// cursor position the renderer then draws from it.

#include <filesystem>

#include "ServerReply.hpp"
#include "base/Letterbox.hpp"
#include "input/ControlChannel.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static EventLog log(std::filesystem::path("/dev/null"));
    RemoteCursor cursor;
    ControlChannel control(log, cursor);

    const std::string text(reinterpret_cast<const char*>(data), size);
    control.handleServerMessage(rtc::message_variant(text));
    const bool visible = cursor.cursorVisible.load();
    const std::int32_t x = cursor.cursorX.load();
    const std::int32_t y = cursor.cursorY.load();

    RemoteCursor binaryCursor;
    ControlChannel binaryControl(log, binaryCursor);
    const auto* bytes = reinterpret_cast<const std::byte*>(data);
    binaryControl.handleServerMessage(rtc::message_variant(rtc::binary(bytes, bytes + size)));
    FUZZ_CHECK(binaryCursor.cursorVisible.load() == visible);
    FUZZ_CHECK(binaryCursor.cursorX.load() == x && binaryCursor.cursorY.load() == y);

    // The largest picture SDL hands out, placed where a letterbox would put it.
    const letterbox::Rect picture{8, 8, 16384, 16384};
    (void)letterbox::cursorPosition(picture, x, y);
    return 0;
}

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "input/EventTexts.hpp"
#include "input/HeldInputs.hpp"

namespace {

struct ReleaseCase {
    const char* fault;  // what a wrong record would do
    std::vector<InputEvent> sent;
    std::vector<InputEvent> releases;
};

const KeyEvent aDown{65, true}, aUp{65, false}, bDown{66, true}, bUp{66, false};
const ButtonEvent leftDown{1, true}, leftUp{1, false}, rightDown{2, true}, rightUp{2, false};

const ReleaseCase releaseCases[] = {
    {"auto-repeat released more than once", {aDown, aDown, aDown}, {aUp}},
    {"a key the server saw go up released again", {aDown, aUp}, {}},
    {"not in the order of the presses", {bDown, leftDown, aDown}, {bUp, leftUp, aUp}},
    {"a key pressed again after its release kept in its old place",
     {aDown, bDown, aUp, aDown},
     {bUp, aUp}},
    {"a button released with its neighbour", {leftDown, rightDown, leftUp}, {rightUp}},
    {"a release without its press remembered", {KeyEvent{122, false}, rightUp}, {}},
    {"motion or wheel taken for a press",
     {WheelEvent{1}, RelativeMotionEvent{1, 1}, AbsoluteMotionEvent{5, 5}},
     {}},
};

TEST(HeldInputsTest, everyPressTheServerSawIsReleasedOnceInPressOrder) {
    for (const auto& c : releaseCases) {
        HeldInputs held;
        for (const auto& event : c.sent) {
            held.follow(event);
        }
        EXPECT_EQ(texts(held.takeReleases()), texts(c.releases)) << c.fault;
        EXPECT_TRUE(held.takeReleases().empty()) << c.fault << " (released twice)";
    }
}

}  // namespace

// The helper every engine callback that must not outlive its owner goes through.

#include <gtest/gtest.h>

#include <memory>

#include "rtc/WeakBind.hpp"

namespace {

struct Owner {
    explicit Owner(bool& destroyed) : destroyed(destroyed) {}
    ~Owner() { destroyed = true; }
    void add(int amount) { calls += amount; }

    bool& destroyed;
    int calls = 0;
};

TEST(WeakBind, boundCallbackNeitherKeepsItsOwnerAliveNorOutlivesIt) {
    bool destroyed = false;
    auto owner = std::make_shared<Owner>(destroyed);
    auto byMember = rtc::weakBind(std::weak_ptr<Owner>(owner), &Owner::add);
    auto byLambda =
        rtc::weakBind(std::weak_ptr<Owner>(owner), [](Owner& self, int n) { self.add(10 * n); });
    byMember(1);
    byLambda(2);
    EXPECT_EQ(owner->calls, 21);
    // A callback that drops the last owner (closes its own connection) still finishes on it.
    auto closing = rtc::weakBind(std::weak_ptr<Owner>(owner), [&](Owner& self) {
        owner.reset();
        EXPECT_FALSE(destroyed);
        self.add(1);
    });
    closing();
    EXPECT_TRUE(destroyed);
    byMember(1);  // reaching the owner now would be a use after free
    byLambda(1);
}

}  // namespace

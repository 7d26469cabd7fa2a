#pragma once

// Callbacks that the engine keeps (signal handlers, probes, threads) may fire after their owner
// is gone. weakBind ties one to its owner without keeping the owner alive: the callback does
// nothing once the owner is destroyed, and holds it for the length of one call otherwise.

#include <functional>
#include <memory>
#include <utility>

namespace rtc {

// f is called as f(owner, args...) with the owner as T&: a lambda taking T& first, or a
// member function of T. The result returns nothing.
template <typename T, typename F>
auto weakBind(std::weak_ptr<T> owner, F f) {
    return [owner = std::move(owner), f = std::move(f)](auto&&... args) {
        if (auto self = owner.lock()) {
            std::invoke(f, *self, std::forward<decltype(args)>(args)...);
        }
    };
}

}  // namespace rtc

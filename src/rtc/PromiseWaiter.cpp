#include "rtc/PromiseWaiter.hpp"

#include <stdexcept>

namespace rtc {

namespace {

using namespace std::chrono_literals;

constexpr auto promiseTimeout = 10s;

}  // namespace

PromiseWaiter::PromiseWaiter() : state(std::make_shared<State>()) {
    using Shared = std::shared_ptr<State>;
    promise.reset(gst_promise_new_with_change_func(
        [](GstPromise*, gpointer data) {
            glib::guardedForC("promise", [data] {
                // A copy: the waiter may wake and drop its share before notify returns.
                auto shared = glib::userData<Shared>(data);
                {
                    std::lock_guard lock(shared->mutex);
                    shared->done = true;
                }
                shared->changed.notify_all();
            });
        },
        glib::newUserData<Shared>(state), &glib::freeUserData<Shared>));
}

bool PromiseWaiter::settle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state->mutex);
    if (!state->changed.wait_for(lock, timeout, [&] { return state->done; })) {
        lock.unlock();
        gst_promise_interrupt(promise.get());
        return false;
    }
    return true;
}

std::optional<std::string> PromiseWaiter::errorOf(const GstStructure* reply) {
    if (!reply || !gst_structure_has_field(reply, "error")) {
        return std::nullopt;
    }
    GError* rawError = nullptr;
    gst_structure_get(reply, "error", G_TYPE_ERROR, &rawError, nullptr);
    glib::ErrorPtr error(rawError);
    return error ? std::string(error->message) : std::string("unknown error");
}

std::optional<std::string> PromiseWaiter::replyError() const {
    if (gst_promise_wait(promise.get()) != GST_PROMISE_RESULT_REPLIED) {
        return std::nullopt;
    }
    return errorOf(gst_promise_get_reply(promise.get()));
}

glib::StructurePtr PromiseWaiter::wait(const std::string& step) {
    if (!settle(promiseTimeout)) {
        throw std::runtime_error(step + " timed out");
    }
    if (gst_promise_wait(promise.get()) != GST_PROMISE_RESULT_REPLIED) {
        throw std::runtime_error(step + " was interrupted");
    }
    const GstStructure* reply = gst_promise_get_reply(promise.get());
    glib::StructurePtr copy(reply ? gst_structure_copy(reply) : nullptr);
    if (auto error = errorOf(copy.get())) {
        throw std::runtime_error(step + " failed: " + *error);
    }
    return copy;
}

}  // namespace rtc

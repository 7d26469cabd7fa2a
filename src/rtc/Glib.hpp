#pragma once

// Small owners for GLib and GStreamer handles, shared by the engine files and the stand-in
// service's offering peer.

#include <glib-object.h>
#include <gst/gst.h>

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace rtc::glib {

// Starts GStreamer once per process. Throws std::runtime_error when it cannot start.
void initialiseGstreamer();

// One strong reference to a GObject (GstElement, GstPad, ...).
template <typename T>
class Ref {
  public:
    Ref() = default;
    // Takes over a reference the caller owns (a "transfer full" return value).
    static Ref adopt(T* object) {
        Ref ref;
        ref.object = object;
        return ref;
    }
    // Adds a reference of its own (a "transfer none" value).
    static Ref share(T* object) {
        Ref ref;
        ref.object = object ? static_cast<T*>(g_object_ref(object)) : nullptr;
        return ref;
    }
    // Takes the reference from a floating object (a freshly made element).
    static Ref sink(T* object) {
        Ref ref;
        ref.object = object ? static_cast<T*>(g_object_ref_sink(object)) : nullptr;
        return ref;
    }
    Ref(const Ref& other) : object(other.object) {
        if (object) {
            g_object_ref(object);
        }
    }
    Ref(Ref&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(object, other.object);
        return *this;
    }
    ~Ref() {
        if (object) {
            g_object_unref(object);
        }
    }

    T* get() const { return object; }
    T* operator->() const { return object; }
    explicit operator bool() const { return object != nullptr; }
    void reset() { Ref().swap(*this); }
    void swap(Ref& other) noexcept { std::swap(object, other.object); }

  private:
    T* object = nullptr;
};

struct GFreeDeleter {
    void operator()(void* memory) const { g_free(memory); }
};
using CharPtr = std::unique_ptr<gchar, GFreeDeleter>;

inline std::string takeString(gchar* text) {
    CharPtr owner(text);
    return owner ? std::string(owner.get()) : std::string();
}

struct ErrorDeleter {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;

struct CapsDeleter {
    void operator()(GstCaps* caps) const { gst_caps_unref(caps); }
};
using CapsPtr = std::unique_ptr<GstCaps, CapsDeleter>;

struct PromiseDeleter {
    void operator()(GstPromise* promise) const { gst_promise_unref(promise); }
};
using PromisePtr = std::unique_ptr<GstPromise, PromiseDeleter>;

struct StructureDeleter {
    void operator()(GstStructure* structure) const { gst_structure_free(structure); }
};
using StructurePtr = std::unique_ptr<GstStructure, StructureDeleter>;

// A copy of value handed to C code as user data; freeUserData<T> is the matching destroy notify.
template <typename T>
gpointer newUserData(T value) {
    return std::make_unique<T>(std::move(value)).release();
}
template <typename T>
T& userData(gpointer data) {
    return *static_cast<T*>(data);
}
template <typename T>
void freeUserData(gpointer data) {
    std::unique_ptr<T> owner(static_cast<T*>(data));
}

void reportFailedCallback(const char* where, const char* what) noexcept;

// Runs f on behalf of C code that called in (a signal, a probe, a sink or promise callback):
// nothing may unwind through C frames, so whatever f throws (std::bad_alloc included) ends
// here, reported as a GLib warning, which reaches the client's log. Returns f's result, or
// the value-initialised result when it threw.
template <typename F>
auto guardedForC(const char* where, F&& f) noexcept -> std::invoke_result_t<F> {
    using Result = std::invoke_result_t<F>;
    try {
        return f();
    } catch (const std::exception& error) {
        reportFailedCallback(where, error.what());
    } catch (...) {
        reportFailedCallback(where, "unknown exception");
    }
    if constexpr (!std::is_void_v<Result>) {
        return Result{};
    }
}

// Connects a signal to a callable owned by the handler: the callable lives until the handler
// is disconnected or the object is finalised. Returns the handler id.
template <typename Signature, typename Callable>
gulong connect(gpointer instance, const char* signal, Callable callable);

namespace detail {

template <typename Callable, typename Return, typename... Args>
struct Trampoline {
    static Return call(Args... args, gpointer data) noexcept {
        return guardedForC("signal handler",
                           [&] { return (*static_cast<Callable*>(data))(args...); });
    }
    static void destroy(gpointer data, GClosure*) { freeUserData<Callable>(data); }
};

template <typename Signature, typename Callable>
struct Connector;

template <typename Callable, typename Return, typename... Args>
struct Connector<Return(Args...), Callable> {
    static gulong connect(gpointer instance, const char* signal, Callable callable) {
        using T = Trampoline<Callable, Return, Args...>;
        auto owned = std::make_unique<Callable>(std::move(callable));
        gulong id = g_signal_connect_data(instance, signal, G_CALLBACK(&T::call), owned.get(),
                                          &T::destroy, GConnectFlags(0));
        if (id != 0) {
            owned.release();  // now owned by the closure
        }
        return id;
    }
};

}  // namespace detail

template <typename Signature, typename Callable>
gulong connect(gpointer instance, const char* signal, Callable callable) {
    return detail::Connector<Signature, Callable>::connect(instance, signal, std::move(callable));
}

}  // namespace rtc::glib

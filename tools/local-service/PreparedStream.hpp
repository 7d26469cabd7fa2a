#pragma once

// A viewer's stream made before its viewer asks: the pipeline runs and the offer is waiting,
// so that the first poll is answered at once. Until a viewer answers, it costs only memory.

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "OfferingPeer.hpp"

class ViewerSession;

class PreparedStream {
  public:
    // Makes a session with an empty viewer id; may throw.
    using Make = std::function<std::shared_ptr<ViewerSession>(const OfferingPeerOptions&)>;

    explicit PreparedStream(Make make) : make(std::move(make)) {}
    ~PreparedStream() { clear(); }
    PreparedStream(const PreparedStream&) = delete;
    PreparedStream& operator=(const PreparedStream&) = delete;

    // Starts making a stream for these options on a thread of its own, unless the one waiting
    // fits them. The calls of prepare, take and clear must not overlap.
    void prepare(const OfferingPeerOptions& options);
    // The stream waiting, once made, if it fits the options (its bitrate then set to theirs);
    // nothing otherwise, and one that does not fit is dropped.
    std::shared_ptr<ViewerSession> take(const OfferingPeerOptions& options);
    // Waits for a stream being made, and drops what waits.
    void clear();

  private:
    static bool fits(const OfferingPeerOptions& made, const OfferingPeerOptions& wanted) {
        return made.hevc == wanted.hevc && made.width == wanted.width &&
               made.height == wanted.height;
    }
    void finish();

    const Make make;
    std::thread making;
    std::mutex mutex;  // guards the two below, which the making thread sets
    std::shared_ptr<ViewerSession> ready;
    OfferingPeerOptions readyOptions;
};

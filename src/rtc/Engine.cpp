#include "rtc/Impl.hpp"

// The entry points that need the engine live apart from the forwarding code, so programs
// that only pair the client's code with fakes do not pull the engine in.
namespace rtc {

PeerConnection::PeerConnection(Configuration config) : impl(makeEngineConnection(config)) {}

std::shared_future<void> Cleanup() {
    return engineCleanup();
}

}  // namespace rtc

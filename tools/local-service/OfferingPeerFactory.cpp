// The real offering peer behind the signaling side's SessionPeer seam.

#include "OfferingPeer.hpp"
#include "ViewerSession.hpp"

namespace {

class OfferingSessionPeer : public SessionPeer {
  public:
    OfferingSessionPeer(const OfferingPeerOptions& options, OfferingPeerCallbacks callbacks)
        : peer(options, std::move(callbacks)) {}

    void setRemoteAnswer(const std::string& sdp) override { peer.setRemoteAnswer(sdp); }
    bool addRemoteCandidate(const std::string& candidate, const std::string& mid) override {
        return peer.addRemoteCandidate(candidate, mid);
    }
    void setBitrate(std::uint64_t bitsPerSecond) override { peer.setBitrate(bitsPerSecond); }
    bool sendText(const std::string& label, const std::string& text) override {
        return peer.sendText(label, text);
    }
    void showScene(const SceneState& scene) override { peer.showScene(scene); }
    void close() override { peer.close(); }

  private:
    OfferingPeer peer;
};

}  // namespace

PeerFactory makeOfferingPeerFactory() {
    return [](const OfferingPeerOptions& options, OfferingPeerCallbacks callbacks) {
        return std::make_unique<OfferingSessionPeer>(options, std::move(callbacks));
    };
}

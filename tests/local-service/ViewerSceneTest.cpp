#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "ViewerSession.hpp"

namespace {

// Remembers every scene the session asked the peer to show.
struct SceneLog {
    std::mutex mutex;
    std::vector<SceneState> scenes;
    OfferingPeerCallbacks callbacks;
};

class ScenePeer : public SessionPeer {
  public:
    explicit ScenePeer(std::shared_ptr<SceneLog> log) : log(std::move(log)) {}
    void setRemoteAnswer(const std::string&) override {}
    bool addRemoteCandidate(const std::string&, const std::string&) override { return true; }
    void setBitrate(std::uint64_t) override {}
    bool sendText(const std::string&, const std::string&) override { return true; }
    void showScene(const SceneState& scene) override {
        std::lock_guard lock(log->mutex);
        log->scenes.push_back(scene);
    }
    void close() override {}

  private:
    std::shared_ptr<SceneLog> log;
};

TEST(ViewerSceneTest, inputOnEitherInputChannelRedrawsTheSceneAndOtherChannelsDoNot) {
    auto log = std::make_shared<SceneLog>();
    PeerFactory factory = [log](const OfferingPeerOptions&, OfferingPeerCallbacks callbacks) {
        log->callbacks = std::move(callbacks);
        return std::make_unique<ScenePeer>(log);
    };
    ViewerSession session("viewer-1", factory, OfferingPeerOptions{}, std::chrono::seconds(0),
                          nullptr);
    const OfferingPeerCallbacks& cb = log->callbacks;

    cb.onTextMessage("input-fast", R"({"type":"mouse_move_absolute","x":1000,"y":2000})");
    cb.onTextMessage("input", R"({"down":true,"type":"key","vk":65})");
    cb.onTextMessage("input-fast", R"({"dx":1,"dy":1,"type":"mouse_move"})");
    // Not input: the microphone's channel, another label, and a release.
    cb.onTextMessage("microphone", R"({"down":true,"type":"key","vk":66})");
    cb.onTextMessage("Input", R"({"down":true,"type":"key","vk":66})");
    cb.onTextMessage("input", R"({"down":false,"type":"key","vk":65})");
    cb.onBinaryMessage("input", {'{', '}'});

    std::lock_guard lock(log->mutex);
    ASSERT_EQ(log->scenes.size(), 3u);
    EXPECT_TRUE(log->scenes[0].cursorVisible);
    EXPECT_EQ(log->scenes[0].cursorX, 1000);
    EXPECT_EQ(log->scenes[0].cursorY, 2000);
    EXPECT_NE(log->scenes[1].background, log->scenes[0].background);
    EXPECT_TRUE(log->scenes[1].cursorVisible);
    EXPECT_FALSE(log->scenes[2].cursorVisible);
    EXPECT_EQ(log->scenes[2].background, log->scenes[1].background);
}

}  // namespace

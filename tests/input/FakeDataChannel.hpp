#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "webrtc/rtcImpl.hpp"

// A data channel that records what is sent on it and lets a test open it and deliver
// messages as the engine would.
class FakeDataChannel : public rtc::DataChannel::Impl {
  public:
    explicit FakeDataChannel(std::string label) : channelLabel(std::move(label)) {}

    std::string label() const override { return channelLabel; }
    bool isOpen() const override { return opened.load(); }
    bool isClosed() const override { return false; }
    bool send(rtc::message_variant data) override {
        std::lock_guard lock(mutex);
        sentMessages.push_back(std::move(data));
        return true;
    }
    void close() override {}
    void onOpen(std::function<void()> callback) override {
        std::function<void()> now;
        {
            std::lock_guard lock(mutex);
            openCallback = std::move(callback);
            if (opened.load()) {
                now = openCallback;
            }
        }
        if (now) {
            now();
        }
    }
    void onClosed(std::function<void()>) override {}
    void onMessage(std::function<void(rtc::message_variant)> callback) override {
        std::lock_guard lock(mutex);
        messageCallback = std::move(callback);
    }

    void open() {
        opened.store(true);
        std::function<void()> callback;
        {
            std::lock_guard lock(mutex);
            callback = openCallback;
        }
        if (callback) {
            callback();
        }
    }
    void deliver(rtc::message_variant message) {
        std::function<void(rtc::message_variant)> callback;
        {
            std::lock_guard lock(mutex);
            callback = messageCallback;
        }
        if (callback) {
            callback(std::move(message));
        }
    }
    std::vector<rtc::message_variant> sent() const {
        std::lock_guard lock(mutex);
        return sentMessages;
    }
    std::vector<std::string> sentTexts() const {
        std::vector<std::string> texts;
        for (const auto& message : sent()) {
            if (const auto* text = std::get_if<std::string>(&message)) {
                texts.push_back(*text);
            } else {
                texts.push_back("<binary>");
            }
        }
        return texts;
    }
    bool hasOpenHandler() const {
        std::lock_guard lock(mutex);
        return static_cast<bool>(openCallback);
    }
    bool hasMessageHandler() const {
        std::lock_guard lock(mutex);
        return static_cast<bool>(messageCallback);
    }

  private:
    const std::string channelLabel;
    std::atomic<bool> opened{false};
    mutable std::mutex mutex;
    std::vector<rtc::message_variant> sentMessages;
    std::function<void()> openCallback;
    std::function<void(rtc::message_variant)> messageCallback;
};

// The fake and the channel object the client's code holds, made together.
struct FakeChannelPair {
    explicit FakeChannelPair(const std::string& label)
        : fake(std::make_shared<FakeDataChannel>(label)),
          channel(std::make_shared<rtc::DataChannel>(fake)) {}
    std::shared_ptr<FakeDataChannel> fake;
    std::shared_ptr<rtc::DataChannel> channel;
};

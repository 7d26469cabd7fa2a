#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <span>

#include "base/EventLog.hpp"
#include "base/RemoteCursor.hpp"
#include "input/InputEvent.hpp"
#include "rtc/rtc.hpp"

// The data channels the server opens, kept by label: the client's input messages go out on
// them, the server's cursor comes back on "input", the microphone uses a channel of its own.
// Nothing is queued: a message goes out at once on an open channel or is dropped.
class ControlChannel {
  public:
    // Server messages longer than this are not parsed at all: a cursor message is a few
    // dozen bytes, and parsing runs on an engine thread.
    static constexpr std::size_t maxServerMessageBytes = 64 * 1024;

    ControlChannel(EventLog& log, RemoteCursor& cursor) : log(log), cursor(cursor) {}
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    // For PeerConnection::onDataChannel. Channels with other labels are not kept.
    void handleDataChannel(std::shared_ptr<rtc::DataChannel> channel);

    // Sends one event as its wire text. Motion and wheel prefer "input-fast" when it is open;
    // keys and buttons always take "input".
    void sendInput(const InputEvent& event);

    // For the "input" channel's onMessage: applies "cursor" messages, ignores anything else,
    // malformed text included. Never throws.
    void handleServerMessage(const rtc::message_variant& message);

    // The microphone's packet sink: "MIC0" followed by the packet, as one binary message on
    // the "microphone" channel when it is open; dropped otherwise.
    void sendMicrophonePacket(std::span<const unsigned char> packet);

    // At shutdown, after the peer connection is closed.
    void releaseChannels();

  private:
    EventLog& log;
    RemoteCursor& cursor;

    // Written by the engine's data channel callback, read by the main thread and the
    // microphone's capture thread; held only to store or copy a slot.
    std::mutex channelsMutex;
    std::shared_ptr<rtc::DataChannel> inputChannel;
    std::shared_ptr<rtc::DataChannel> inputFastChannel;
    std::shared_ptr<rtc::DataChannel> microphoneChannel;
};

#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

#include "base/EventLog.hpp"
#include "base/RemoteCursor.hpp"
#include "input/InputEvent.hpp"
#include "input/SendBacklog.hpp"
#include "rtc/rtc.hpp"

// The data channels the server opens, kept by label: the client's input messages go out on
// them, the server's cursor comes back on "input", the microphone uses a channel of its own.
// Nothing is queued here: a message goes out at once on an open channel or is dropped. Behind
// a peer that does not keep up, motion, wheel and microphone messages are dropped (keys and
// buttons still go), and a channel stalled for good ends the session.
class ControlChannel {
  public:
    using Clock = SendBacklog::Clock;
    // Called once, on the thread that found a channel stalled, after the log line.
    using StallHandler = std::function<void()>;

    // Server messages longer than this are not parsed at all: a cursor message is a few
    // dozen bytes, and parsing runs on an engine thread.
    static constexpr std::size_t maxServerMessageBytes = 64 * 1024;
    // A few hundred milliseconds of each channel's heaviest traffic: motion from a 1000 Hz
    // mouse (about 40 bytes a message), microphone packets at up to 128 kbit/s.
    static constexpr std::size_t inputBacklogBytes = 16 * 1024;
    static constexpr std::size_t microphoneBacklogBytes = 8 * 1024;

    ControlChannel(EventLog& log, RemoteCursor& cursor, StallHandler onStall = {},
                   std::function<Clock::time_point()> now = Clock::now);
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

    // Looks at every open channel's backlog, for a channel that stalls while nothing is sent
    // on it. Main thread, every few seconds.
    void checkStalls();
    // Messages dropped because their channel was backlogged.
    std::uint64_t messagesDropped() const { return dropped.load(); }

    // At shutdown, before the connection closes and discards what it still holds: closes the
    // open channels once their buffers have drained and waits until the peer has confirmed
    // every close, or until `limit`. True when everything sent is known to have arrived.
    bool flush(std::chrono::milliseconds limit);

    // At shutdown, after the peer connection is closed.
    void releaseChannels();

  private:
    enum SlotIndex : std::size_t { inputSlot, inputFastSlot, microphoneSlot, slotCount };
    struct Slot {
        std::shared_ptr<rtc::DataChannel> channel;
        SendBacklog backlog;
        bool backlogReported = false;
    };

    std::shared_ptr<rtc::DataChannel> channelIn(SlotIndex slot);
    // Whether one message may go on `channel`, taken from `slot`: false to drop it.
    bool admit(SlotIndex slot, const std::shared_ptr<rtc::DataChannel>& channel, bool droppable);

    EventLog& log;
    RemoteCursor& cursor;
    StallHandler onStall;
    std::function<Clock::time_point()> now;
    std::atomic<std::uint64_t> dropped{0};

    // Written by the engine's data channel callback, read by the main thread and the
    // microphone's capture thread; held only to store or copy a slot or to note a backlog.
    std::mutex channelsMutex;
    std::array<Slot, slotCount> slots{Slot{nullptr, SendBacklog(inputBacklogBytes)},
                                      Slot{nullptr, SendBacklog(inputBacklogBytes)},
                                      Slot{nullptr, SendBacklog(microphoneBacklogBytes)}};
    bool stallReported = false;
};

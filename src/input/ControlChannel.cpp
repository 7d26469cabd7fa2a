#include "input/ControlChannel.hpp"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

// A coordinate must be a JSON number that fits the 32-bit field; a fraction is cut off.
// Anything else makes the whole message invalid.
std::optional<std::int32_t> readCoordinate(const json& message, const char* key) {
    constexpr auto low = std::numeric_limits<std::int32_t>::min();
    constexpr auto high = std::numeric_limits<std::int32_t>::max();
    const auto it = message.find(key);
    if (it == message.end()) {
        return 0;
    }
    if (it->is_number_unsigned()) {
        const auto value = it->get<std::uint64_t>();
        return value <= static_cast<std::uint64_t>(high)
                   ? std::optional(static_cast<std::int32_t>(value))
                   : std::nullopt;
    }
    if (it->is_number_integer()) {
        const auto value = it->get<std::int64_t>();
        return value >= low && value <= high ? std::optional(static_cast<std::int32_t>(value))
                                             : std::nullopt;
    }
    if (it->is_number_float()) {
        const double value = std::trunc(it->get<double>());
        return std::isfinite(value) && value >= low && value <= high
                   ? std::optional(static_cast<std::int32_t>(value))
                   : std::nullopt;
    }
    return std::nullopt;
}

std::optional<bool> readVisible(const json& message) {
    const auto it = message.find("visible");
    if (it == message.end()) {
        return false;
    }
    if (!it->is_boolean()) {
        return std::nullopt;
    }
    return it->get<bool>();
}

constexpr const char* slotLabels[] = {"input", "input-fast", "microphone"};

std::string_view messageText(const rtc::message_variant& message) {
    if (const auto* text = std::get_if<std::string>(&message)) {
        return *text;
    }
    const auto& bytes = std::get<rtc::binary>(message);
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

ControlChannel::ControlChannel(EventLog& log, RemoteCursor& cursor, StallHandler onStall,
                               std::function<Clock::time_point()> now)
    : log(log), cursor(cursor), onStall(std::move(onStall)), now(std::move(now)) {}

void ControlChannel::handleDataChannel(std::shared_ptr<rtc::DataChannel> channel) {
    if (!channel) {
        return;
    }
    const std::string label = channel->label();
    const auto* found = std::find(std::begin(slotLabels), std::end(slotLabels), label);
    if (found == std::end(slotLabels)) {
        return;
    }
    {
        std::lock_guard lock(channelsMutex);
        Slot& slot = slots[static_cast<std::size_t>(found - std::begin(slotLabels))];
        slot.channel = channel;
        slot.backlog.observe(0, now());
    }
    // Registered outside the lock: onOpen may run at once on an open channel, and it takes
    // the log's mutex.
    channel->onOpen([this, line = label + "_channel_open"] { log.write(line); });
    if (label == "input") {
        channel->onMessage([this](rtc::message_variant message) { handleServerMessage(message); });
    }
}

std::shared_ptr<rtc::DataChannel> ControlChannel::channelIn(SlotIndex slot) {
    std::lock_guard lock(channelsMutex);
    return slots[slot].channel;
}

bool ControlChannel::admit(SlotIndex index, const std::shared_ptr<rtc::DataChannel>& channel,
                           bool droppable) {
    // Read outside the lock: the engine takes its own.
    const std::size_t buffered = channel->bufferedAmount();
    bool backlogBegan = false;  // the first message dropped on this channel
    bool stalledNow = false;
    bool drop = false;
    {
        std::lock_guard lock(channelsMutex);
        Slot& slot = slots[index];
        if (slot.channel != channel) {
            return true;  // replaced meanwhile; the new channel's backlog starts afresh
        }
        slot.backlog.observe(buffered, now());
        drop = droppable && slot.backlog.backlogged();
        backlogBegan = drop && !slot.backlogReported;
        slot.backlogReported = slot.backlogReported || backlogBegan;
        stalledNow = slot.backlog.stalled() && !stallReported;
        stallReported = stallReported || stalledNow;
    }
    if (backlogBegan) {
        log.write(std::string("data_channel_backlog=") + slotLabels[index] +
                  ": the peer is behind, motion and microphone are dropped");
    }
    if (drop) {
        dropped.fetch_add(1);
    }
    if (stalledNow) {
        log.write(std::string("data_channel_stalled=") + slotLabels[index] + ": behind for " +
                  std::to_string(SendBacklog::stallLimit.count()) + " s, the session ends");
        if (onStall) {
            onStall();
        }
    }
    return !drop;
}

void ControlChannel::sendInput(const InputEvent& event) {
    const bool fast = prefersFastChannel(event);
    std::shared_ptr<rtc::DataChannel> channel;
    SlotIndex index = inputSlot;
    {
        std::lock_guard lock(channelsMutex);
        const auto& fastChannel = slots[inputFastSlot].channel;
        if (fast && fastChannel && fastChannel->isOpen()) {
            index = inputFastSlot;
        }
        channel = slots[index].channel;
    }
    if (!channel || !channel->isOpen() || !admit(index, channel, fast)) {
        return;
    }
    try {
        channel->send(wireText(event));
    } catch (const std::exception&) {
        // A message that cannot be sent is dropped.
    }
}

void ControlChannel::handleServerMessage(const rtc::message_variant& message) {
    try {
        const std::string_view text = messageText(message);
        if (text.size() > maxServerMessageBytes) {
            return;
        }
        const json parsed = json::parse(text, nullptr, false, false);
        if (!parsed.is_object()) {
            return;
        }
        const auto type = parsed.find("type");
        if (type == parsed.end() || !type->is_string() ||
            type->get_ref<const std::string&>() != "cursor") {
            return;
        }
        const auto y = readCoordinate(parsed, "y");
        const auto x = readCoordinate(parsed, "x");
        const auto visible = readVisible(parsed);
        if (!x || !y || !visible) {
            return;
        }
        cursor.cursorVisible.exchange(*visible);
        cursor.cursorX.exchange(*x);
        cursor.cursorY.exchange(*y);
    } catch (...) {
        // Whatever the server sends, a bad message is ignored as a whole.
    }
}

void ControlChannel::sendMicrophonePacket(std::span<const unsigned char> packet) {
    if (packet.empty()) {
        return;
    }
    std::shared_ptr<rtc::DataChannel> channel = channelIn(microphoneSlot);
    if (!channel || !channel->isOpen() || !admit(microphoneSlot, channel, true)) {
        return;
    }
    try {
        rtc::binary data;
        data.reserve(4 + packet.size());
        for (const char c : {'M', 'I', 'C', '0'}) {
            data.push_back(static_cast<std::byte>(c));
        }
        for (const unsigned char c : packet) {
            data.push_back(static_cast<std::byte>(c));
        }
        channel->send(std::move(data));
    } catch (const std::exception&) {
        // Dropped like any frame that cannot go out.
    }
}

void ControlChannel::checkStalls() {
    for (SlotIndex index : {inputSlot, inputFastSlot, microphoneSlot}) {
        const auto channel = channelIn(index);
        if (channel && channel->isOpen()) {
            admit(index, channel, false);
        }
    }
}

bool ControlChannel::flush(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    std::vector<std::shared_ptr<rtc::DataChannel>> open;
    for (SlotIndex index : {inputSlot, inputFastSlot, microphoneSlot}) {
        if (auto channel = channelIn(index); channel && channel->isOpen()) {
            open.push_back(std::move(channel));
        }
    }
    // An empty buffer only means handed to the transport, which closing the connection can
    // still discard. Closing a channel resets its stream behind what was sent on it, and the
    // peer confirms the reset only once it has taken all of that.
    for (;;) {
        std::size_t buffered = 0;
        for (const auto& channel : open) {
            buffered += channel->bufferedAmount();
        }
        if (buffered == 0) {
            break;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    struct Confirmations {
        std::mutex mutex;
        std::condition_variable changed;
        std::size_t count = 0;
    };
    // Shared with the engine's callbacks, which may come after this returns.
    const auto confirmed = std::make_shared<Confirmations>();
    for (const auto& channel : open) {
        channel->onClosed([confirmed] {
            {
                std::lock_guard lock(confirmed->mutex);
                ++confirmed->count;
            }
            confirmed->changed.notify_all();
        });
        channel->close();
    }
    std::unique_lock lock(confirmed->mutex);
    return confirmed->changed.wait_until(lock, deadline,
                                         [&] { return confirmed->count == open.size(); });
}

void ControlChannel::releaseChannels() {
    std::lock_guard lock(channelsMutex);
    for (Slot& slot : slots) {
        slot.channel.reset();
    }
}

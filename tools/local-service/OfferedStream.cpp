#include "OfferedStream.hpp"

#include <gst/video/video.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <stdexcept>
#include <string>

#include "ImpairedLink.hpp"
#include "KeyFrameSkip.hpp"
#include "rtc/Webrtcbin.hpp"

namespace {

constexpr int audioPayloadType = 111;
constexpr int videoPayloadType = 96;

constexpr int cursorSize = 16;
// The backgrounds a press steps through, as videotestsrc patterns: bars, red, green, blue,
// checkers, 75% bars.
constexpr int backgroundPatterns[sceneBackgroundCount] = {0, 4, 5, 6, 10, 13};

std::string pipelineText(const OfferingPeerOptions& options) {
    const std::string codec = options.hevc ? "H265" : "H264";
    const std::string parser = options.hevc ? "h265parse" : "h264parse";
    const std::string payloader = options.hevc ? "rtph265pay" : "rtph264pay";
    const unsigned kbps = static_cast<unsigned>(std::max<std::uint64_t>(options.bitrate / 1000, 1));
    const int fps = std::max(options.fps, 1);

    std::ostringstream text;
    text << "webrtcbin name=offer bundle-policy=max-bundle latency=0 ";
    text << "audiotestsrc is-live=true wave=sine freq=440 volume=0.2 ! audioconvert ! "
            "audioresample ! audio/x-raw,rate=48000,channels=2 ! opusenc ! "
            "rtpopuspay pt="
         << audioPayloadType
         << " ! application/x-rtp,media=audio,encoding-name=OPUS,payload=" << audioPayloadType
         << ",clock-rate=48000,a-mid=audio ! offer. ";
    if (options.videoFile.empty()) {
        const std::string frameRate = ",framerate=" + std::to_string(fps) + "/1";
        // The scene: a background that presses change, and the service's cursor, a small
        // square, laid over it where the viewer's pointer is.
        text << "videotestsrc name=background is-live=true pattern=smpte horizontal-speed=4 ! "
             << "video/x-raw,format=I420,width=" << options.width << ",height=" << options.height
             << frameRate << " ! scene.sink_0 ";
        text << "videotestsrc is-live=true pattern=solid-color foreground-color=0xffffffff ! "
             << "video/x-raw,format=I420,width=" << cursorSize << ",height=" << cursorSize
             << frameRate << " ! scene.sink_1 ";
        text << "compositor name=scene background=black sink_1::alpha=0 ! "
             << "video/x-raw,format=I420,width=" << options.width << ",height=" << options.height
             << frameRate << " ! ";
        if (options.hevc) {
            text << "x265enc name=videoenc tune=zerolatency speed-preset=ultrafast key-int-max="
                 << fps * 10 << " bitrate=" << kbps << " ! ";
        } else {
            text << "x264enc name=videoenc tune=zerolatency speed-preset=ultrafast key-int-max="
                 << fps * 10 << " bitrate=" << kbps << " byte-stream=true ! ";
        }
        text << parser << " config-interval=-1 ! ";
    } else {
        rtc::glib::CharPtr location(g_strescape(options.videoFile.c_str(), nullptr));
        text << "multifilesrc location=\"" << location.get() << "\" loop=true caps=\"video/x-"
             << (options.hevc ? "h265" : "h264") << ",stream-format=byte-stream,framerate=" << fps
             << "/1\" ! " << parser << " config-interval=-1 ! clocksync name=pace ! ";
    }
    text << payloader << " name=videopay pt=" << videoPayloadType
         << " config-interval=-1 aggregate-mode=zero-latency ! "
         << "capsfilter name=videocaps caps=\"application/x-rtp,media=video,encoding-name=" << codec
         << ",payload=" << videoPayloadType
         << ",clock-rate=90000,a-mid=video,rtcp-fb-nack-pli=true\" ! offer.";
    return text.str();
}

rtc::glib::Ref<GstElement> byName(const rtc::glib::Ref<GstElement>& bin, const char* name) {
    return rtc::glib::Ref<GstElement>::adopt(gst_bin_get_by_name(GST_BIN(bin.get()), name));
}

}  // namespace

OfferedStream::OfferedStream(const OfferingPeerOptions& options,
                             std::function<void(std::uint64_t)> keyFrameForced)
    : width(options.width),
      height(options.height),
      backgroundPattern(std::make_shared<BackgroundPattern>(backgroundPatterns[0])) {
    rtc::glib::initialiseGstreamer();
    GError* rawError = nullptr;
    std::string description = pipelineText(options);
    GstElement* parsed = gst_parse_launch(description.c_str(), &rawError);
    rtc::glib::ErrorPtr error(rawError);
    if (!parsed) {
        throw std::runtime_error("Cannot build the offering pipeline: " +
                                 std::string(error ? error->message : "unknown error"));
    }
    whole = rtc::glib::Ref<GstElement>::sink(parsed);
    offer = byName(whole, "offer");
    forcedKeyFrames->report = std::move(keyFrameForced);

    followBackground();
    retransmitOnRequest();
    impair(options.impairment);
    if (auto pace = byName(whole, "pace")) {
        forcedKeyFrames->skip = KeyFrameSkip::install(pace.get());
    }
    countKeyFrameRequests();
    stampFileFrames();
    holdFileUntilConnected();
}

void OfferedStream::followBackground() {
    auto background = byName(whole, "background");
    if (!background) {
        return;
    }
    using Shared = std::shared_ptr<BackgroundPattern>;
    auto output =
        rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(background.get(), "src"));
    gst_pad_add_probe(
        output.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad* pad, GstPadProbeInfo*, gpointer data) {
            auto& pattern = *rtc::glib::userData<Shared>(data);
            const int wanted = pattern.wanted.load();
            if (wanted != pattern.shown) {
                g_object_set(GST_PAD_PARENT(pad), "pattern", wanted, nullptr);
                pattern.shown = wanted;
            }
            return GST_PAD_PROBE_OK;
        },
        rtc::glib::newUserData<Shared>(backgroundPattern), &rtc::glib::freeUserData<Shared>);
}

// As a browser sender does: video packets are kept for a while and sent again (RTX, RFC 4588)
// when the viewer reports them missing (NACK). The offer then carries an rtx format.
void OfferedStream::retransmitOnRequest() {
    auto caps = byName(whole, "videocaps");
    auto output = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(caps.get(), "src"));
    auto input = rtc::glib::Ref<GstPad>::adopt(gst_pad_get_peer(output.get()));
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    if (input && g_object_class_find_property(G_OBJECT_GET_CLASS(input.get()), "transceiver")) {
        g_object_get(input.get(), "transceiver", &transceiver, nullptr);
    }
    auto owned = rtc::glib::Ref<GstWebRTCRTPTransceiver>::adopt(transceiver);
    if (owned) {
        g_object_set(owned.get(), "do-nack", TRUE, nullptr);
    }
}

void OfferedStream::impair(const NetworkImpairment& impairment) {
    if (!impairment.any()) {
        return;
    }
    rtc::glib::connect<GstElement*(GstElement*, GObject*)>(
        offer.get(), "request-aux-sender", [impairment](GstElement*, GObject*) {
            return makeImpairedLink(impairment, audioPayloadType);
        });
}

// Counts the key frames the viewer asks for: the RTP session sends them upstream.
void OfferedStream::countKeyFrameRequests() {
    using Shared = std::shared_ptr<KeyFrameRequests>;
    auto payloader = byName(whole, "videopay");
    auto sink = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(payloader.get(), "sink"));
    gst_pad_add_probe(
        sink.get(), GST_PAD_PROBE_TYPE_EVENT_UPSTREAM,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
            if (event && gst_video_event_is_force_key_unit(event)) {
                auto& requests = *rtc::glib::userData<Shared>(data);
                if (requests.skip) {
                    requests.skip->request();
                }
                std::uint64_t count = ++requests.count;
                std::lock_guard lock(requests.mutex);
                if (requests.report) {
                    requests.report(count);
                }
            }
            return GST_PAD_PROBE_OK;
        },
        rtc::glib::newUserData<Shared>(forcedKeyFrames), &rtc::glib::freeUserData<Shared>);
}

// A parsed file gives most frames a decoding time only. Without a presentation time the
// payloader stamps every frame with the same RTP time, and the viewer cannot tell one frame
// from the next; the files hold no B-frames, so the decoding time is the one.
void OfferedStream::stampFileFrames() {
    auto payloader = byName(whole, "videopay");
    auto sink = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(payloader.get(), "sink"));
    gst_pad_add_probe(
        sink.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer) {
            GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
            if (buffer && !GST_BUFFER_PTS_IS_VALID(buffer) && GST_BUFFER_DTS_IS_VALID(buffer)) {
                buffer = gst_buffer_make_writable(buffer);
                GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer);
                GST_PAD_PROBE_INFO_DATA(info) = buffer;
            }
            return GST_PAD_PROBE_OK;
        },
        nullptr, nullptr);
}

void OfferedStream::stopReporting() {
    std::lock_guard lock(forcedKeyFrames->mutex);
    forcedKeyFrames->report = nullptr;
}

void OfferedStream::holdFileUntilConnected() {
    auto pace = byName(whole, "pace");
    if (!pace) {
        return;
    }
    auto paced = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(pace.get(), "src"));
    using Shared = std::shared_ptr<std::atomic<bool>>;
    gst_pad_add_probe(
        paced.get(), GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
            return rtc::glib::userData<Shared>(data)->load() ? GST_PAD_PROBE_OK
                                                             : GST_PAD_PROBE_DROP;
        },
        rtc::glib::newUserData<Shared>(fileFlowing), &rtc::glib::freeUserData<Shared>);
}

void OfferedStream::viewerConnected() {
    fileFlowing->store(true);
    if (forcedKeyFrames->skip) {
        forcedKeyFrames->skip->request();
    } else if (auto encoder = byName(whole, "videoenc")) {
        gst_element_send_event(encoder.get(), gst_video_event_new_upstream_force_key_unit(
                                                  GST_CLOCK_TIME_NONE, TRUE, 0));
    }
}

void OfferedStream::setBitrate(std::uint64_t bitsPerSecond) {
    auto encoder = byName(whole, "videoenc");
    if (!encoder) {
        return;
    }
    guint kbps = static_cast<guint>(std::max<std::uint64_t>(bitsPerSecond / 1000, 1));
    g_object_set(encoder.get(), "bitrate", kbps, nullptr);
    // What the encoder holds now, read back, so a test can see the change took effect.
    guint applied = 0;
    g_object_get(encoder.get(), "bitrate", &applied, nullptr);
    const std::string line = "encoder_bitrate=" + std::to_string(applied) + "kbps\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void OfferedStream::showScene(const SceneState& scene) {
    auto mixer = byName(whole, "scene");
    if (!mixer) {
        return;
    }
    const int index = std::clamp(scene.background, 0, sceneBackgroundCount - 1);
    backgroundPattern->wanted.store(backgroundPatterns[index]);
    auto cursor = rtc::glib::Ref<GstPad>::adopt(gst_element_get_static_pad(mixer.get(), "sink_1"));
    if (!cursor) {
        return;
    }
    // The square's centre on the pointer, kept inside the picture.
    const double fx = std::clamp(scene.cursorX, 0, 65535) / 65535.0;
    const double fy = std::clamp(scene.cursorY, 0, 65535) / 65535.0;
    const int x = static_cast<int>(fx * (width - cursorSize));
    const int y = static_cast<int>(fy * (height - cursorSize));
    g_object_set(cursor.get(), "xpos", x, "ypos", y, "alpha", scene.cursorVisible ? 1.0 : 0.0,
                 nullptr);
}

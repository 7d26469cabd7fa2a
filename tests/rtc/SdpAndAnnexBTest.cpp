// The text helpers the engine applies to offers and to depacketized frames.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "rtc/AnnexB.hpp"
#include "rtc/Sdp.hpp"

namespace {

// Bundled sections take the first one's ICE credentials, in place of their own or after the
// m-line; a section outside the bundle, credentials at session level or no bundle: left alone.
TEST(Sdp, bundledSectionsTakeTheBundleTagsCredentialsAndOthersKeepTheirs) {
    const std::string session = "v=0\r\na=group:BUNDLE a v d\r\n";
    const std::string tag = "m=audio 9 X 0\r\na=mid:a\r\na=ice-ufrag:1\r\na=ice-pwd:11\r\n";
    const std::string loose = "m=video 9 X 0\r\na=ice-ufrag:3\r\na=ice-pwd:33\r\na=mid:x\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {session + tag + "m=video 9 X 0\r\na=ice-ufrag:2\r\na=ice-pwd:22\r\na=mid:v\r\n" +
             "m=application 9 X 0\r\na=mid:d\r\n" + loose,
         session + tag + "m=video 9 X 0\r\na=ice-ufrag:1\r\na=ice-pwd:11\r\na=mid:v\r\n" +
             "m=application 9 X 0\r\na=ice-ufrag:1\r\na=ice-pwd:11\r\na=mid:d\r\n" + loose},
        {"v=0\r\na=group:BUNDLE 0 1\r\na=ice-ufrag:u\r\na=ice-pwd:p\r\n"
         "m=audio 9 X 0\r\na=mid:0\r\nm=video 9 X 0\r\na=mid:1\r\n",
         ""},
        {"v=0\r\nm=audio 9 X 0\r\na=ice-ufrag:a\r\nm=video 9 X 0\r\na=ice-ufrag:b\r\n", ""},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(rtc::sdp::unifyBundleCredentials(in), out.empty() ? in : out);
    }
}

TEST(Sdp, largeBundleIsRewrittenWithoutRescanningPerSection) {
    // Sized so that searching the session part and the bundle's mid list again for every
    // section takes many minutes, where one pass takes a fraction of a second.
    constexpr int count = 200'000;
    std::string bundle = "a=group:BUNDLE", filler, sections;
    for (int i = 0; i < count; ++i) {
        bundle += " " + std::to_string(i);
        filler += "a=x-filler\r\n";
        sections += "m=video 9 X 0\r\na=mid:" + std::to_string(i) + "\r\n";
        sections += i == 0 ? "a=ice-ufrag:tag\r\n" : "";
    }
    const std::string outside = "m=video 9 X 0\r\na=mid:outside\r\n";
    const std::string result =
        rtc::sdp::unifyBundleCredentials("v=0\r\n" + bundle + "\r\n" + filler +
                                         "a=ice-pwd:sessionpassword\r\n" + sections + outside);
    auto occurrences = [&](const std::string& text) {
        std::size_t found = 0;
        for (auto at = result.find(text); at != std::string::npos; at = result.find(text, at + 1)) {
            ++found;
        }
        return found;
    };
    // Every bundled section gains the tag's user fragment; the session's password already
    // applies to all of them, so it is not repeated; the unbundled section is left alone.
    EXPECT_EQ(occurrences("a=ice-ufrag:tag\r\n"), static_cast<std::size_t>(count));
    EXPECT_EQ(occurrences("a=ice-pwd:"), 1u);
    EXPECT_TRUE(result.ends_with("a=mid:" + std::to_string(count - 1) + "\r\n" + outside));
}

TEST(Sdp, remoteCandidatesArePlacedOnTheFirstSectionWithTheirMid) {
    const std::vector<rtc::sdp::Media> media = {
        {"audio", "a"}, {"video", "v"}, {"video", "v"}, {"application", ""}};
    const std::string text = "candidate:1 1 UDP 2015363327 127.0.0.1 52934 typ host";
    auto placed = rtc::sdp::placeRemoteCandidate(media, "v", text);
    EXPECT_EQ(placed.mline, 1u);
    EXPECT_EQ(placed.text, text);
    EXPECT_EQ(rtc::sdp::placeRemoteCandidate(media, "", text).mline, 3u);
    // An empty text is the end of candidates, still for a known section only.
    EXPECT_EQ(rtc::sdp::placeRemoteCandidate(media, "a", "").text, "");
    EXPECT_THROW(rtc::sdp::placeRemoteCandidate(media, "x", ""), std::invalid_argument);
    EXPECT_THROW(rtc::sdp::placeRemoteCandidate(media, "audio", text), std::invalid_argument);
    EXPECT_THROW(rtc::sdp::placeRemoteCandidate(media, "a", "a=" + text), std::invalid_argument);
    EXPECT_THROW(rtc::sdp::placeRemoteCandidate(media, "a", " candidate:1"), std::invalid_argument);
}

// Sections as "kind port mid", session lines (a BUNDLE group) first when given.
std::string offerOf(const std::string& session, std::initializer_list<const char*> sections) {
    std::string offer = "v=0\r\ns=-\r\nt=0 0\r\n" + session;
    for (const char* section : sections) {
        std::istringstream fields(section);
        std::string kind, port, mid;
        fields >> kind >> port >> mid;
        const char* proto =
            kind == "application" ? " UDP/DTLS/SCTP webrtc-datachannel" : " UDP/TLS/RTP/SAVPF 96";
        offer += "m=" + kind + " " + port + proto + "\r\na=mid:" + mid + "\r\n";
    }
    return offer;
}

// Only the first audio, video and data section on one transport reach the engine; the answer
// rejects every other one in its place, whatever the offer holds.
TEST(Sdp, offersAreShapedToTheSectionsTheClientUsesOnOneTransport) {
    struct Case {
        const char* name;
        std::string offer;
        std::vector<std::string> kept;  // mids; empty: the offer is refused
        std::string group;              // the engine's BUNDLE line, "" for none
    };
    const std::string bundle = "a=group:BUNDLE a v d\r\n";
    std::vector<Case> cases = {
        {"bundled with an extra video outside",
         offerOf("a=group:BUNDLE audio video data\r\n",
                 {"audio 9 audio", "video 9 video", "application 9 data", "video 9 unbundled"}),
         {"audio", "video", "data"},
         "a=group:BUNDLE audio video data"},
        {"unbundled audio sections",
         offerOf("", {"audio 9 a1", "audio 9 a2", "audio 9 a3"}),
         {"a1"},
         ""},
        {"unbundled audio and video", offerOf("", {"audio 9 a", "video 9 v"}), {"a"}, ""},
        {"numeric mids, a second video in the bundle",
         offerOf("a=group:BUNDLE 0 1 2\r\n", {"audio 9 0", "video 9 1", "video 9 2"}),
         {"0", "1"},
         "a=group:BUNDLE 0 1"},
        {"bundle found after a stray section",
         offerOf(bundle, {"audio 9 x", "video 9 v", "audio 9 a", "application 9 d"}),
         {"v", "a", "d"},
         "a=group:BUNDLE a v d"},
        {"rejected by the offer, or not RTP",
         offerOf("", {"audio 0 off", "text 9 t", "audio 9 on"}),
         {"on"},
         ""},
        {"nothing usable", offerOf("", {"text 9 t", "audio 0 a"}), {}, ""},
        {"broken m-lines", "v=0\r\nm=\r\nm=audio\r\nm=video 9\r\n", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.kept.empty()) {
            EXPECT_THROW(rtc::sdp::shapeOffer(c.offer), std::invalid_argument);
            continue;
        }
        auto shaped = rtc::sdp::shapeOffer(c.offer);
        std::vector<std::string> kept;
        std::string engineAnswer = "v=0\r\ns=-\r\n";
        for (const auto& media : shaped.kept) {
            kept.push_back(media.mid);
            engineAnswer += "m=" + media.kind + " 9 X 96\r\na=mid:" + media.mid + "\r\n";
        }
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(rtc::sdp::listMedia(shaped.text).size(), kept.size());
        auto group = shaped.text.find("a=group:BUNDLE");
        EXPECT_EQ(group == std::string::npos
                      ? ""
                      : shaped.text.substr(group, shaped.text.find('\r', group) - group),
                  c.group);

        // The answer has every section of the offer, in order; those left out have port 0.
        std::string expected, answered;
        for (const auto& media : rtc::sdp::listMedia(c.offer)) {
            expected += media.mid + (std::ranges::count(c.kept, media.mid) ? " " : ":0 ");
        }
        const std::string answer = rtc::sdp::completeAnswer(engineAnswer, shaped);
        const std::regex section(R"(m=\S+ (\d+)[^\r]*\r\n(c=[^\r]*\r\n)?a=mid:([^\r]*))");
        for (std::sregex_iterator at(answer.begin(), answer.end(), section), end; at != end; ++at) {
            answered += (*at)[3].str() + ((*at)[1] == "0" ? ":0 " : " ");
        }
        EXPECT_EQ(answered, expected);
    }
}

TEST(AnnexB, shortStartCodesBecomeLongAndNoByteIsLost) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> in, out;
    };
    const std::vector<Case> cases = {
        {"already long", {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x65}, {}},
        {"all short",
         {0, 0, 1, 0x67, 0xAA, 0, 0, 1, 0x68, 0, 0, 1, 0x65},
         {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0, 0, 0, 1, 0x65}},
        {"mixed", {0, 0, 0, 1, 0x67, 0, 0, 1, 0x65, 1}, {0, 0, 0, 1, 0x67, 0, 0, 0, 1, 0x65, 1}},
        {"start code at the very end", {0, 0, 1, 0x65, 0, 0, 1}, {0, 0, 0, 1, 0x65, 0, 0, 0, 1}},
        {"too short to hold one", {0, 0}, {}},
        {"empty", {}, {}},
    };
    for (const auto& c : cases) {
        const auto& out = c.out.empty() ? c.in : c.out;  // empty: unchanged
        const auto* bytes = reinterpret_cast<const std::byte*>(out.data());
        EXPECT_EQ(rtc::withLongStartCodes(c.in.data(), c.in.size()),
                  rtc::binary(bytes, bytes + out.size()))
            << c.name;
    }
}

}  // namespace

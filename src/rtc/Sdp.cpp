#include "rtc/Sdp.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

namespace rtc::sdp {

namespace {

struct Line {
    std::string text;  // without the line ending
    std::string ending;
};

std::vector<Line> splitLines(const std::string& sdp) {
    std::vector<Line> lines;
    std::size_t start = 0;
    while (start < sdp.size()) {
        std::size_t end = sdp.find('\n', start);
        Line line;
        if (end == std::string::npos) {
            line.text = sdp.substr(start);
            start = sdp.size();
        } else {
            line.text = sdp.substr(start, end - start);
            line.ending = "\n";
            start = end + 1;
        }
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.ending = "\r" + line.ending;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string valueAfter(const std::string& line, const std::string& prefix) {
    return line.substr(prefix.size());
}

// Index ranges of the session part and of each m-section.
struct Sections {
    std::size_t sessionEnd = 0;
    std::vector<std::pair<std::size_t, std::size_t>> media;  // [begin, end)
};

Sections sectionsOf(const std::vector<Line>& lines) {
    Sections sections;
    sections.sessionEnd = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].text.starts_with("m=")) {
            if (sections.media.empty()) {
                sections.sessionEnd = i;
            } else {
                sections.media.back().second = i;
            }
            sections.media.emplace_back(i, lines.size());
        }
    }
    return sections;
}

std::optional<std::size_t> findAttribute(const std::vector<Line>& lines, std::size_t begin,
                                         std::size_t end, const std::string& prefix) {
    for (std::size_t i = begin; i < end; ++i) {
        if (lines[i].text.starts_with(prefix)) {
            return i;
        }
    }
    return std::nullopt;
}

std::string midOf(const std::vector<Line>& lines, std::size_t begin, std::size_t end) {
    auto index = findAttribute(lines, begin, end, "a=mid:");
    return index ? valueAfter(lines[*index].text, "a=mid:") : std::string();
}

}  // namespace

std::vector<Media> listMedia(const std::string& sdp) {
    // The engine takes the text as a C string: whatever follows a NUL would be listed here
    // but never reach it, and candidates would be placed on sections it does not have.
    if (sdp.find('\0') != std::string::npos) {
        throw std::invalid_argument("Session description contains a NUL byte");
    }
    auto lines = splitLines(sdp);
    if (lines.empty() || !lines.front().text.starts_with("v=")) {
        throw std::invalid_argument("Session description does not start with a version line");
    }
    auto sections = sectionsOf(lines);
    if (sections.media.empty()) {
        throw std::invalid_argument("Session description has no media section");
    }
    std::vector<Media> media;
    for (auto [begin, end] : sections.media) {
        std::string kind = valueAfter(lines[begin].text, "m=");
        kind = kind.substr(0, kind.find(' '));
        media.push_back(Media{kind, midOf(lines, begin, end)});
    }
    return media;
}

std::string unifyBundleCredentials(const std::string& sdp) {
    auto lines = splitLines(sdp);
    auto sections = sectionsOf(lines);
    auto group = findAttribute(lines, 0, sections.sessionEnd, "a=group:BUNDLE ");
    if (!group) {
        return sdp;
    }
    std::vector<std::string> bundled;
    std::istringstream mids(valueAfter(lines[*group].text, "a=group:BUNDLE "));
    for (std::string mid; mids >> mid;) {
        bundled.push_back(mid);
    }
    if (bundled.empty()) {
        return sdp;
    }

    // The bundle's mids and the session-level credentials are looked up once: searching them
    // again for every section made the rewrite quadratic in the length of the text.
    const std::set<std::string> bundledMids(bundled.begin(), bundled.end());
    auto attribute = [&](std::size_t begin, std::size_t end,
                         const std::string& prefix) -> std::optional<std::string> {
        if (auto index = findAttribute(lines, begin, end, prefix)) {
            return valueAfter(lines[*index].text, prefix);
        }
        return std::nullopt;
    };
    const auto sessionUfrag = attribute(0, sections.sessionEnd, "a=ice-ufrag:");
    const auto sessionPwd = attribute(0, sections.sessionEnd, "a=ice-pwd:");
    auto credential = [&](std::size_t begin, std::size_t end,
                          const std::string& prefix) -> std::optional<std::string> {
        if (auto value = attribute(begin, end, prefix)) {
            return value;
        }
        return prefix == "a=ice-ufrag:" ? sessionUfrag : sessionPwd;
    };

    std::optional<std::pair<std::size_t, std::size_t>> tag;
    for (auto range : sections.media) {
        if (midOf(lines, range.first, range.second) == bundled.front()) {
            tag = range;
            break;
        }
    }
    if (!tag) {
        return sdp;
    }
    auto ufrag = credential(tag->first, tag->second, "a=ice-ufrag:");
    auto pwd = credential(tag->first, tag->second, "a=ice-pwd:");

    // Lines to insert after an m= line, keyed by its index.
    std::vector<std::vector<Line>> inserted(lines.size());
    for (auto [begin, end] : sections.media) {
        if (begin == tag->first) {
            continue;
        }
        std::string mid = midOf(lines, begin, end);
        if (!bundledMids.contains(mid)) {
            continue;
        }
        for (auto& [prefix, value] : {std::pair{std::string("a=ice-ufrag:"), ufrag},
                                      std::pair{std::string("a=ice-pwd:"), pwd}}) {
            if (!value) {
                continue;
            }
            if (auto index = findAttribute(lines, begin, end, prefix)) {
                lines[*index].text = prefix + *value;
            } else if (credential(begin, end, prefix) != value) {
                inserted[begin].push_back(Line{prefix + *value, lines[begin].ending});
            }
        }
    }

    std::string result;
    result.reserve(sdp.size() + 128);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        result += lines[i].text + lines[i].ending;
        for (auto& line : inserted[i]) {
            result += line.text + line.ending;
        }
    }
    return result;
}

namespace {

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string word; in >> word;) {
        result.push_back(word);
    }
    return result;
}

// A section the client can use: RTP audio or video, or the SCTP data section.
bool usable(const std::vector<std::string>& mline) {
    if (mline.size() < 3) {
        return false;
    }
    const std::string kind = mline[0].substr(2);
    if (kind == "audio" || kind == "video") {
        return mline[2].find("RTP") != std::string::npos;
    }
    return kind == "application" && mline[2].find("SCTP") != std::string::npos;
}

// The same section, rejected: port 0, no transport, nothing sent or received.
std::string rejectionOf(std::vector<std::string> mline, const std::string& mid) {
    if (mline.size() < 2) {
        mline.resize(2);
    }
    mline[1] = "0";
    std::string text = mline[0];
    for (std::size_t i = 1; i < mline.size(); ++i) {
        text += " " + mline[i];
    }
    text += "\r\nc=IN IP4 0.0.0.0\r\n";
    if (!mid.empty()) {
        text += "a=mid:" + mid + "\r\n";
    }
    return text + "a=inactive\r\n";
}

}  // namespace

bool ShapedOffer::rejected(const std::string& mid) const {
    bool found = false;
    for (const auto& section : sections) {
        if (section.media.mid == mid) {
            if (section.kept) {
                return false;
            }
            found = true;
        }
    }
    return found;
}

ShapedOffer shapeOffer(const std::string& offer) {
    const auto lines = splitLines(offer);
    const auto ranges = sectionsOf(lines);
    std::vector<std::vector<std::string>> groups;
    for (std::size_t i = 0; i < ranges.sessionEnd; ++i) {
        if (lines[i].text.starts_with("a=group:BUNDLE")) {
            groups.push_back(words(valueAfter(lines[i].text, "a=group:BUNDLE")));
        }
    }

    ShapedOffer shaped;
    std::vector<bool> active;  // usable, and not rejected by the offer itself
    for (auto [begin, end] : ranges.media) {
        auto mline = words(lines[begin].text);
        std::string kind = mline.empty() ? std::string() : mline[0].substr(2);
        std::string mid = midOf(lines, begin, end);
        const bool open = mline.size() > 1 && !mline[1].starts_with("0");
        const bool bundleOnly = findAttribute(lines, begin, end, "a=bundle-only").has_value();
        active.push_back(usable(mline) && (open || bundleOnly));
        shaped.sections.push_back({Media{kind, mid}, false, rejectionOf(mline, mid)});
    }

    // The transport is the one of the first usable section, or of its bundle when it has one.
    // Mids are looked up in sets: a hostile offer may hold huge groups and many sections.
    std::map<std::string, std::size_t> groupOf;  // the first group naming each mid
    for (std::size_t g = 0; g < groups.size(); ++g) {
        for (const auto& mid : groups[g]) {
            groupOf.try_emplace(mid, g);
        }
    }
    std::optional<std::size_t> bundle;
    for (std::size_t i = 0; i < shaped.sections.size() && !bundle; ++i) {
        auto found = groupOf.find(shaped.sections[i].media.mid);
        if (active[i] && found != groupOf.end()) {
            bundle = found->second;
        }
    }
    const std::set<std::string> bundled =
        bundle ? std::set<std::string>(groups[*bundle].begin(), groups[*bundle].end())
               : std::set<std::string>();
    std::set<std::string> kinds;
    std::set<std::string> keptMids;
    for (std::size_t i = 0; i < shaped.sections.size(); ++i) {
        auto& section = shaped.sections[i];
        const bool onTransport = bundle ? bundled.contains(section.media.mid) : kinds.empty();
        if (active[i] && onTransport && kinds.insert(section.media.kind).second) {
            section.kept = true;
            shaped.kept.push_back(section.media);
            keptMids.insert(section.media.mid);
        }
    }
    if (shaped.kept.empty()) {
        throw std::invalid_argument("The offer has no audio, video or data section to answer");
    }

    std::string& text = shaped.text;
    text.reserve(offer.size());
    bool groupWritten = false;
    for (std::size_t i = 0; i < ranges.sessionEnd; ++i) {
        if (!lines[i].text.starts_with("a=group:BUNDLE")) {
            text += lines[i].text + lines[i].ending;
            continue;
        }
        const auto mids = words(valueAfter(lines[i].text, "a=group:BUNDLE"));
        if (bundle && !groupWritten && mids == groups[*bundle]) {
            groupWritten = true;  // the one group kept, with the kept sections only
            text += "a=group:BUNDLE";
            for (const auto& mid : mids) {
                if (keptMids.contains(mid)) {
                    text += " " + mid;
                }
            }
            text += lines[i].ending;
        }
    }
    for (std::size_t m = 0; m < ranges.media.size(); ++m) {
        if (shaped.sections[m].kept) {
            for (std::size_t i = ranges.media[m].first; i < ranges.media[m].second; ++i) {
                text += lines[i].text + lines[i].ending;
            }
        }
    }
    return shaped;
}

std::string completeAnswer(const std::string& engineAnswer, const ShapedOffer& shaped) {
    const auto lines = splitLines(engineAnswer);
    const auto ranges = sectionsOf(lines);
    std::string result;
    for (std::size_t i = 0; i < ranges.sessionEnd; ++i) {
        result += lines[i].text + lines[i].ending;
    }
    std::size_t next = 0;
    for (const auto& section : shaped.sections) {
        if (!section.kept) {
            result += section.rejection;
        } else if (next < ranges.media.size()) {
            for (std::size_t i = ranges.media[next].first; i < ranges.media[next].second; ++i) {
                result += lines[i].text + lines[i].ending;
            }
            ++next;
        }
    }
    return result;
}

std::set<std::uint8_t> payloadTypes(const std::string& sdp) {
    std::set<std::uint8_t> types;
    for (const auto& line : splitLines(sdp)) {
        auto mline = words(line.text);
        if (!line.text.starts_with("m=") || mline.size() < 4 || mline[1].starts_with("0")) {
            continue;
        }
        for (std::size_t i = 3; i < mline.size(); ++i) {
            const auto& format = mline[i];
            if (!format.empty() && format.size() <= 3 &&
                format.find_first_not_of("0123456789") == std::string::npos &&
                std::stoi(format) < 128) {
                types.insert(static_cast<std::uint8_t>(std::stoi(format)));
            }
        }
    }
    return types;
}

RemoteCandidate placeRemoteCandidate(const std::vector<Media>& media, const std::string& mid,
                                     const std::string& text) {
    auto found = std::find_if(media.begin(), media.end(),
                              [&](const Media& section) { return section.mid == mid; });
    if (found == media.end()) {
        throw std::invalid_argument("Unknown media id \"" + mid + "\"");
    }
    const auto mline = static_cast<unsigned>(found - media.begin());
    if (!text.empty() && !text.starts_with("candidate:")) {
        throw std::invalid_argument("Not a candidate: \"" + text + "\"");
    }
    return RemoteCandidate{mline, text};
}

std::vector<dtls::Fingerprint> fingerprints(const std::string& sdp) {
    const std::string prefix = "a=fingerprint:";
    const auto cased = [](std::string text, int (*change)(int)) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [change](unsigned char c) { return static_cast<char>(change(c)); });
        return text;
    };
    std::vector<dtls::Fingerprint> found;
    for (const Line& line : splitLines(sdp)) {
        if (!line.text.starts_with(prefix)) {
            continue;
        }
        std::istringstream fields(valueAfter(line.text, prefix));
        std::string hash, digest;
        if (fields >> hash >> digest) {
            found.push_back({cased(hash, std::tolower), cased(digest, std::toupper)});
        }
    }
    return found;
}

}  // namespace rtc::sdp

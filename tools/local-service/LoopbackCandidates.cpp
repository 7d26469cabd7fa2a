#include "LoopbackCandidates.hpp"

#include <sstream>
#include <vector>

bool isLoopbackCandidate(const std::string& candidate) {
    std::istringstream fields(candidate);
    std::vector<std::string> tokens;
    std::string token;
    while (fields >> token && tokens.size() < 5) {
        tokens.push_back(token);
    }
    // foundation component transport priority address ...
    if (tokens.size() < 5) {
        return false;
    }
    const std::string& address = tokens[4];
    return address.rfind("127.", 0) == 0 || address == "::1";
}

std::string withoutForeignCandidates(const std::string& sdp) {
    std::string result;
    result.reserve(sdp.size());
    std::size_t start = 0;
    while (start < sdp.size()) {
        std::size_t end = sdp.find('\n', start);
        std::size_t next = end == std::string::npos ? sdp.size() : end + 1;
        std::string_view line(sdp.data() + start, next - start);
        bool candidateLine = line.rfind("a=candidate:", 0) == 0;
        if (!candidateLine || isLoopbackCandidate(std::string(line.substr(2)))) {
            result.append(line);
        }
        start = next;
    }
    return result;
}

#include "support/FakeRtc.hpp"

#include <stdexcept>

namespace fake {

bool FakeDataChannel::send(rtc::message_variant data) {
    if (!open) {
        return false;
    }
    std::lock_guard lock(mutex);
    sentMessages.push_back(std::move(data));
    return true;
}

std::vector<std::string> FakeDataChannel::sentTexts() const {
    std::vector<std::string> texts;
    for (const auto& message : sent()) {
        const auto* text = std::get_if<std::string>(&message);
        texts.push_back(text ? *text : "<binary>");
    }
    return texts;
}

void FakePeer::setRemoteDescription(rtc::Description description) {
    std::lock_guard lock(mutex);
    if (descriptionRefusal) {
        throw std::invalid_argument(*descriptionRefusal);
    }
    descriptions.push_back(std::move(description));
}

void FakePeer::addRemoteCandidate(rtc::Candidate candidate) {
    std::lock_guard lock(mutex);
    if (candidateRefusal) {
        throw std::invalid_argument(*candidateRefusal);
    }
    candidates.push_back(std::move(candidate));
}

}  // namespace fake

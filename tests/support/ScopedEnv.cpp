#include "support/ScopedEnv.hpp"

#include <cstdlib>

namespace {

void setOrUnset(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
        setenv(name.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name.c_str());
    }
}

}  // namespace

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name(std::move(name)) {
    if (const char* old = std::getenv(this->name.c_str())) {
        previous = old;
    }
    setOrUnset(this->name, value);
}

ScopedEnv::~ScopedEnv() {
    setOrUnset(name, previous);
}

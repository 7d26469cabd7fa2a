#pragma once

#include <cstdlib>
#include <optional>
#include <string>

// Sets (or with nullopt unsets) an environment variable and puts the old state back when it
// goes out of scope. Tests that use it must not run threads that read the environment.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value) : name(std::move(name)) {
        if (const char* old = std::getenv(this->name.c_str())) {
            previous = old;
        }
        set(value);
    }
    ~ScopedEnv() { set(previous); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    void set(const std::optional<std::string>& value) {
        value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }

    std::string name;
    std::optional<std::string> previous;
};

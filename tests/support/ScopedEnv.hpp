#pragma once

#include <optional>
#include <string>

// Sets (or with nullopt unsets) an environment variable and puts the old state back when it
// goes out of scope. Tests that use it must not run threads that read the environment.
class ScopedEnv {
  public:
    ScopedEnv(std::string name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name;
    std::optional<std::string> previous;
};

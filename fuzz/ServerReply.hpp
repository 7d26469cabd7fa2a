#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

// A reply body as the client's API layer turns it into JSON: the whole text, parsed with the
// library's defaults, throwing its parse error for anything that is not JSON.
inline nlohmann::json parseReplyBody(const std::uint8_t* data, std::size_t size) {
    return nlohmann::json::parse(std::string(reinterpret_cast<const char*>(data), size));
}

// A broken invariant is a finding like a crash: abort so the fuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

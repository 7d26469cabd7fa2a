#pragma once

#include <string>

// Where a followed redirect may lead. Both URLs are absolute: libcurl resolves a relative
// Location against the address that sent it.

// Empty when the request may go on from `from` to `to`, otherwise the reason it may not: only
// http and https are followed, and never from https down to plain http.
std::string redirectRefusal(const std::string& from, const std::string& to);

// Same scheme, host and port (an absent port is the scheme's default). The bearer token goes
// to its own origin only.
bool sameOrigin(const std::string& a, const std::string& b);

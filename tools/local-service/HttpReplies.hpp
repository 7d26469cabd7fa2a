#pragma once

// How the service's handlers read requests and answer them.

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

void reply(httplib::Response& response, int status, const nlohmann::json& body);
// {"error": message}
void replyError(httplib::Response& response, int status, const std::string& message);

// A JSON object body, or absent with a 400 already in the response.
std::optional<nlohmann::json> objectBody(const httplib::Request& request,
                                         httplib::Response& response);

// A whole decimal number and nothing else.
std::optional<long long> parseWhole(const std::string& text);

// Ends the request's connection without a reply. shutdown rather than close: the library
// still owns the descriptor and closes it when its write fails.
void dropConnection(const httplib::Request& request);

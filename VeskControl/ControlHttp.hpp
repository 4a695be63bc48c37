#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace vesk {

// One request to the loopback control API, which takes a single request per connection.
struct ControlRequest {
    std::string method;                      // as sent; case matters
    std::string path;                        // the target without its query; "/" when nothing is left
    nlohmann::json body = nlohmann::json::object();  // {} unless the body is a JSON object
    std::optional<std::string> contentType;  // last Content-Type header, trimmed
    std::optional<std::string> host;         // last Host header, trimmed, port and all
};

namespace ControlHttp {

// The request in the bytes received so far, or none while it is incomplete or unusable.
// Callers re-parse the growing buffer after every read, so it stays linear and never throws.
std::optional<ControlRequest> parse(std::string_view data);

// A whole response: status line, headers and the compact JSON body. The connection is
// closed after it, so it says so.
std::string json(int status, const nlohmann::json& object);

}  // namespace ControlHttp
}  // namespace vesk

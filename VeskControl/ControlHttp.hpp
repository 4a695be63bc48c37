#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

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

// Not a request yet: incomplete, or never to be one (a request line of one word, a head
// that is not UTF-8), which the read deadline ends.
struct Incomplete {};
// Framing that a client and this parser could read differently (two Host headers, white
// space before a header's colon, a folded header line, a bare line feed): answered 400
// {"error":"bad_request"} rather than guessed at.
struct Malformed {};
using Parsed = std::variant<Incomplete, Malformed, ControlRequest>;

// What the bytes received so far amount to. A bare line feed is Malformed as soon as it
// arrives, before the head is complete. Callers re-parse the growing buffer after every
// read, so it stays linear and never throws.
Parsed parse(std::string_view data);

// A whole response: status line, headers and the compact JSON body. The connection is
// closed after it, so it says so.
std::string json(int status, const nlohmann::json& object);

}  // namespace ControlHttp
}  // namespace vesk

#pragma once

#include <optional>
#include <string>

namespace vesk {

// A URL as the backend's configuration needs it, read by libcurl's URL parser.
struct Url {
    std::string scheme;  // lower-case, as the parser gives it
    std::string host;    // an IPv6 address in brackets
    std::string path;    // at least "/"

    static std::optional<Url> parse(const std::string& text);
    // Whether the host is this machine: "localhost", 127.0.0.0/8 or ::1.
    bool isLoopback() const;
};

// base with path appended to its path (one "/" between them) and, when query is given,
// its query replaced by it; none when base does not parse.
std::optional<std::string> urlWithPath(const std::string& base, const std::string& path,
                                       const std::optional<std::string>& query = std::nullopt);

}  // namespace vesk

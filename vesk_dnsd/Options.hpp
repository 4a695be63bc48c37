#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

struct UpstreamAddress {
    std::string address;  // dotted-decimal IPv4
    uint16_t port = 53;
    bool operator==(const UpstreamAddress&) const = default;
};

// The daemon's settings: the defaults, overwritten by the command line.
struct Settings {
    std::string blocklistPath = "/Library/Application Support/Vesk/adult-domains.txt";
    // Lists downloaded and kept current beside the file; their last good copies are kept in
    // the cache directory, which is held to the state directories' ownership rule.
    std::vector<std::string> blocklistUrls;
    std::string blocklistCache = "/Library/Application Support/Vesk/lists";
    double blocklistRefreshHours = 24;
    std::string host = "127.0.0.1";
    uint16_t port = 53;
    std::optional<std::string> supabaseURL;
    std::optional<std::string> anonKey;
    std::optional<std::string> alertsTokenFile;
    std::string sourcePlatform = "MACOS";
    uint16_t controlPort = 5355;
    // Where only root can write, whoever owns /usr/local: the state beside it must not be
    // movable by the user.
    std::string pinFile = "/var/db/vesk/pin.hash";
    // None: the public resolvers the forwarder uses by default.
    std::optional<std::vector<UpstreamAddress>> upstreams;
    // --help or --version asks for text instead of a daemon.
    enum class Request { serve, help, version } request = Request::serve;
};

// Every option but --help and --version takes the next argument as its value and the
// last occurrence wins; a value is never read as an option. Unknown arguments and
// unusable values are reported through stderrLine and skipped.
Settings parseArguments(const std::vector<std::string>& args,
                        const std::function<void(const std::string&)>& stderrLine);

// What --help prints: the usage line, then the options, one line each.
std::string helpText();

// An unsigned 16-bit decimal: digits after an optional "+", or "-" before zeros only.
std::optional<uint16_t> parsePort(std::string_view text);

// Comma-separated IPv4[:port] entries, port 53 when omitted; none if any entry is bad.
std::optional<std::vector<UpstreamAddress>> parseUpstreams(std::string_view text);

// Comma-separated list URLs, https or http to this machine; none if any entry is not.
std::optional<std::vector<std::string>> parseListUrls(std::string_view text);

// A positive number of hours, a fraction allowed, at most a year; none otherwise.
std::optional<double> parseHours(std::string_view text);

}  // namespace vesk

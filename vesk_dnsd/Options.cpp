#include "Options.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "VeskPlatform/Text.hpp"
#include "VeskPlatform/Url.hpp"

namespace vesk {

std::optional<uint16_t> parsePort(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 0xFFFF) return std::nullopt;
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::optional<std::vector<UpstreamAddress>> parseUpstreams(std::string_view text) {
    std::vector<UpstreamAddress> out;
    for (std::string_view entry : split(text, ",")) {
        UpstreamAddress upstream;
        size_t colon = entry.find(':');
        if (colon != std::string_view::npos) {
            auto port = parsePort(entry.substr(colon + 1));
            if (!port || *port == 0 || entry[colon + 1] == '+' || entry[colon + 1] == '-') {
                return std::nullopt;
            }
            upstream.port = *port;
            entry = entry.substr(0, colon);
        }
        upstream.address = std::string(entry);
        in_addr parsed{};
        if (inet_pton(AF_INET, upstream.address.c_str(), &parsed) != 1) return std::nullopt;
        out.push_back(std::move(upstream));
    }
    return out;
}

std::optional<std::vector<std::string>> parseListUrls(std::string_view text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    for (std::string_view entry : split(text, ",")) {
        std::string url(entry);
        auto parsed = Url::parse(url);
        // As written: clear text only to this machine, where no one on the way can swap the list.
        bool https = url.starts_with("https://"), http = url.starts_with("http://");
        if (!parsed || !(https || (http && parsed->isLoopback()))) return std::nullopt;
        if (std::find(out.begin(), out.end(), url) == out.end()) out.push_back(std::move(url));
    }
    return out;
}

std::optional<double> parseHours(std::string_view text) {
    std::string digits(text);
    if (digits.empty() || digits.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
    char* end = nullptr;
    double hours = std::strtod(digits.c_str(), &end);
    if (end != digits.c_str() + digits.size() || !std::isfinite(hours) || hours <= 0 || hours > 24 * 366) {
        return std::nullopt;
    }
    return hours;
}

namespace {

using StderrLine = std::function<void(const std::string&)>;

void setPort(uint16_t& port, std::string_view option, const std::string& value,
             const StderrLine& stderrLine) {
    if (auto parsed = parsePort(value)) {
        port = *parsed;
    } else {
        stderrLine("vesk-dnsd: ignoring bad " + std::string(option) + " value " + value);
    }
}

struct Option {
    std::string_view name;
    std::string_view value;  // as --help shows it; empty for an option that takes none
    std::string_view help;
    void (*apply)(Settings&, const std::string& value, const StderrLine&);
};

const Option options[] = {
    {"--blocklist", "PATH", "blocked domains, one per line (/Library/Application Support/Vesk/adult-domains.txt)",
     [](Settings& s, const std::string& v, const StderrLine&) { s.blocklistPath = v; }},
    {"--blocklist-urls", "URL,...", "lists to download and keep current, https (or http to this machine)",
     [](Settings& s, const std::string& v, const StderrLine& e) {
         if (auto urls = parseListUrls(v)) {
             s.blocklistUrls = std::move(*urls);
         } else {
             e("vesk-dnsd: ignoring bad --blocklist-urls value " + v);
         }
     }},
    {"--blocklist-cache", "DIR", "their last good copies (/Library/Application Support/Vesk/lists)",
     [](Settings& s, const std::string& v, const StderrLine&) { s.blocklistCache = v; }},
    {"--blocklist-refresh", "HOURS", "hours between downloads of each list, a fraction allowed (24)",
     [](Settings& s, const std::string& v, const StderrLine& e) {
         if (auto hours = parseHours(v)) {
             s.blocklistRefreshHours = *hours;
         } else {
             e("vesk-dnsd: ignoring bad --blocklist-refresh value " + v);
         }
     }},
    {"--host", "ADDRESS", "IPv4 address the DNS listener binds (127.0.0.1)",
     [](Settings& s, const std::string& v, const StderrLine&) { s.host = v; }},
    {"--port", "N", "its UDP and TCP port (53)",
     [](Settings& s, const std::string& v, const StderrLine& e) { setPort(s.port, "--port", v, e); }},
    {"--upstreams", "LIST", "resolvers to forward to, IPv4[:port],... (1.1.1.1,9.9.9.9,8.8.8.8)",
     [](Settings& s, const std::string& v, const StderrLine& e) {
         if (auto list = parseUpstreams(v)) {
             s.upstreams = std::move(list);
         } else {
             e("vesk-dnsd: ignoring bad --upstreams value " + v);
         }
     }},
    {"--control-port", "N", "port of the control API on 127.0.0.1 (5355)",
     [](Settings& s, const std::string& v, const StderrLine& e) {
         setPort(s.controlPort, "--control-port", v, e);
     }},
    {"--pin-file", "PATH", "the control API's PIN digest (/var/db/vesk/pin.hash)",
     [](Settings& s, const std::string& v, const StderrLine&) { s.pinFile = v; }},
    {"--supabase-url", "URL", "the accountability backend's base URL",
     [](Settings& s, const std::string& v, const StderrLine&) { s.supabaseURL = v; }},
    {"--anon-key", "KEY", "the backend's public API key",
     [](Settings& s, const std::string& v, const StderrLine&) { s.anonKey = v; }},
    {"--alerts-token-file", "PATH", "the device's refresh-token file for the backend",
     [](Settings& s, const std::string& v, const StderrLine&) { s.alertsTokenFile = v; }},
    {"--source-platform", "NAME", "the platform named in alerts (MACOS)",
     [](Settings& s, const std::string& v, const StderrLine&) { s.sourcePlatform = v; }},
    {"--help", "", "print this and exit", nullptr},
    {"--version", "", "print the version and exit", nullptr},
};

}  // namespace

std::string helpText() {
    std::string out = "usage: vesk-dnsd [OPTION VALUE]...\n";
    for (const auto& option : options) {
        std::string left = std::string(option.name) + (option.value.empty() ? "" : " ") +
                           std::string(option.value);
        left.resize(std::max<size_t>(left.size() + 2, 28), ' ');
        out += "  " + left + std::string(option.help) + "\n";
    }
    return out;
}

Settings parseArguments(const std::vector<std::string>& args, const StderrLine& stderrLine) {
    Settings settings;
    using Request = Settings::Request;
    for (size_t i = 0; i < args.size(); ++i) {
        const Option* option = nullptr;
        for (const auto& candidate : options) {
            if (args[i] == candidate.name) option = &candidate;
        }
        if (option == nullptr) {
            stderrLine("vesk-dnsd: ignoring unknown arg " + args[i]);
        } else if (option->apply == nullptr) {
            // Help wins over the version, whichever came first.
            if (settings.request != Request::help) {
                settings.request = args[i] == "--help" ? Request::help : Request::version;
            }
        } else if (++i < args.size()) {
            option->apply(settings, args[i], stderrLine);
        }
    }
    return settings;
}

}  // namespace vesk

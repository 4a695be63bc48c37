#include "Options.hpp"

#include <arpa/inet.h>

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
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = std::min(text.find(',', start), text.size());
        std::string_view entry = text.substr(start, comma - start);
        start = comma + 1;
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

Settings parseArguments(const std::vector<std::string>& args,
                        const std::function<void(const std::string&)>& stderrLine) {
    Settings settings;
    using Apply = std::function<void(const std::string&)>;
    const std::pair<std::string_view, Apply> options[] = {
        {"--blocklist", [&](const std::string& v) { settings.blocklistPath = v; }},
        {"--host", [&](const std::string& v) { settings.host = v; }},
        {"--port",
         [&](const std::string& v) { settings.port = parsePort(v).value_or(settings.port); }},
        {"--supabase-url", [&](const std::string& v) { settings.supabaseURL = v; }},
        {"--anon-key", [&](const std::string& v) { settings.anonKey = v; }},
        {"--alerts-token-file", [&](const std::string& v) { settings.alertsTokenFile = v; }},
        {"--source-platform", [&](const std::string& v) { settings.sourcePlatform = v; }},
        {"--control-port",
         [&](const std::string& v) {
             settings.controlPort = parsePort(v).value_or(settings.controlPort);
         }},
        {"--pin-file", [&](const std::string& v) { settings.pinFile = v; }},
        {"--upstreams",
         [&](const std::string& v) {
             if (auto list = parseUpstreams(v)) {
                 settings.upstreams = std::move(list);
             } else {
                 stderrLine("vesk-dnsd: ignoring bad --upstreams value " + v);
             }
         }},
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const Apply* apply = nullptr;
        for (const auto& [name, action] : options) {
            if (args[i] == name) apply = &action;
        }
        if (apply == nullptr) {
            stderrLine("vesk-dnsd: ignoring unknown arg " + args[i]);
        } else if (++i < args.size()) {
            (*apply)(args[i]);
        }
    }
    return settings;
}

}  // namespace vesk

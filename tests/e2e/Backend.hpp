#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "tests/support/HttpServer.hpp"

namespace vesk::test {

// Unpadded, as tokens carry it.
inline std::string base64url(const std::string& text) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        bits = (bits << 8) | static_cast<uint8_t>(c);
        for (held += 8; held >= 6; held -= 6) out += digits[(bits >> (held - 6)) & 63];
    }
    if (held > 0) out += digits[(bits << (6 - held)) & 63];
    return out;
}

// A backend whose access tokens carry the e-mail of the account the refresh token names
// ("alice-…" is alice@example.com), and which takes every monitoring event it is sent.
inline HttpServer::Reply backendReply(const HttpServer::Request& request) {
    using json = nlohmann::json;
    if (request.target.starts_with("/auth/v1/token")) {
        std::string refresh = json::parse(request.body).value("refresh_token", "");
        std::string account = refresh.substr(0, refresh.find('-'));
        std::string access = "h." + base64url(json({{"email", account + "@example.com"}}).dump()) + ".s";
        return {HttpServer::Reply::Kind::respond, 200,
                json({{"access_token", access}, {"refresh_token", refresh}, {"expires_in", 3600}}).dump(), {}};
    }
    return {HttpServer::Reply::Kind::respond, 204, "", {}};
}

// The bodies of the monitoring events the backend was sent, in order.
inline std::vector<nlohmann::json> monitoringEvents(const HttpServer& backend) {
    std::vector<nlohmann::json> events;
    for (const auto& request : backend.requests()) {
        if (request.target.find("/rpc/") != std::string::npos) {
            events.push_back(nlohmann::json::parse(request.body, nullptr, false));
        }
    }
    return events;
}

// Their names alone.
inline std::vector<std::string> eventsSent(const HttpServer& backend) {
    std::vector<std::string> names;
    for (const auto& event : monitoringEvents(backend)) {
        names.push_back(event.is_object() ? event.value("p_event", "") : event.dump());
    }
    return names;
}

}  // namespace vesk::test

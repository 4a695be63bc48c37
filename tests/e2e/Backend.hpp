#pragma once

#include <nlohmann/json.hpp>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/HttpServer.hpp"

namespace vesk::test {

// A backend as the real one behaves: a refresh token works once. Its answer names the next
// one and carries an access token whose claims give the account the refresh token names
// ("alice-…" is alice@example.com, base64url unpadded); a token spent before is refused with
// 400. Whatever else it is sent (alerts, monitoring events) it takes.
inline HttpServer::Script rotatingBackend() {
    using json = nlohmann::json;
    static const std::map<std::string, std::string> claims = {{"alice", "eyJlbWFpbCI6ImFsaWNlQGV4YW1wbGUuY29tIn0"},
                                                              {"bob", "eyJlbWFpbCI6ImJvYkBleGFtcGxlLmNvbSJ9"}};
    struct Tokens {
        std::mutex lock;
        std::set<std::string> spent;
        int issued = 0;
    };
    return [tokens = std::make_shared<Tokens>()](const HttpServer::Request& request) -> HttpServer::Reply {
        if (!request.target.starts_with("/auth/v1/token")) return {HttpServer::Reply::Kind::respond, 204, "", {}};
        std::string refresh = json::parse(request.body).value("refresh_token", "");
        std::string account = refresh.substr(0, refresh.find('-'));
        std::lock_guard guard(tokens->lock);
        if (!tokens->spent.insert(refresh).second) {
            return {HttpServer::Reply::Kind::respond, 400, R"({"error":"invalid_grant"})", {}};
        }
        std::string access = "h." + claims.at(account) + ".s";
        std::string next = account + "-r" + std::to_string(++tokens->issued);
        return {HttpServer::Reply::Kind::respond, 200,
                json({{"access_token", access}, {"refresh_token", next}, {"expires_in", 3600}}).dump(), {}};
    };
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

}  // namespace vesk::test

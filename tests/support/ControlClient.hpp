#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "tests/support/Socket.hpp"

namespace vesk::test {

// One control API call, as the companion application makes it: a request on a fresh
// connection, the answer read until the server closes.
struct ControlAnswer {
    int status = 0;  // 0: no answer
    nlohmann::json body;
};

inline std::string controlRequest(const std::string& method, const std::string& path, const std::string& body = "") {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (method == "POST") request += "Content-Type: application/json\r\n";
    return request + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The status and JSON body of a whole HTTP response; status 0 when there is none.
inline ControlAnswer answerOf(const std::optional<std::string>& response) {
    if (!response || response->size() < 12) return {};
    size_t split = response->find("\r\n\r\n");
    return {std::stoi(response->substr(9, 3)),
            nlohmann::json::parse(split == std::string::npos ? "" : response->substr(split + 4), nullptr, false)};
}

inline ControlAnswer controlCall(uint16_t port, const std::string& method, const std::string& path,
                                 const nlohmann::json& body = nlohmann::json::object()) {
    TcpClient client(port);
    client.write(controlRequest(method, path, method == "POST" ? body.dump() : ""));
    return answerOf(client.readToEnd(std::chrono::seconds(30)));
}

}  // namespace vesk::test

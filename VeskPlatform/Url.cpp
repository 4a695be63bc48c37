#include "Url.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>

#include <memory>

namespace vesk {
namespace {

struct Handle {
    CURLU* url = curl_url();
    ~Handle() { curl_url_cleanup(url); }

    std::optional<std::string> get(CURLUPart part) const {
        char* value = nullptr;
        if (curl_url_get(url, part, &value, 0) != CURLUE_OK || value == nullptr) return std::nullopt;
        std::string out(value);
        curl_free(value);
        return out;
    }
};

}  // namespace

std::optional<Url> Url::parse(const std::string& text) {
    Handle handle;
    if (handle.url == nullptr || curl_url_set(handle.url, CURLUPART_URL, text.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    auto scheme = handle.get(CURLUPART_SCHEME);
    auto host = handle.get(CURLUPART_HOST);
    if (!scheme || !host) return std::nullopt;
    return Url{*scheme, *host, handle.get(CURLUPART_PATH).value_or("/")};
}

bool Url::isLoopback() const {
    if (host == "localhost" || host == "[::1]") return true;
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

std::optional<std::string> urlWithPath(const std::string& base, const std::string& path,
                                       const std::optional<std::string>& query) {
    Handle handle;
    if (handle.url == nullptr || curl_url_set(handle.url, CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    std::string joined = handle.get(CURLUPART_PATH).value_or("/");
    if (joined.empty() || joined.back() != '/') joined.push_back('/');
    joined += path;
    if (curl_url_set(handle.url, CURLUPART_PATH, joined.c_str(), 0) != CURLUE_OK) return std::nullopt;
    if (query && curl_url_set(handle.url, CURLUPART_QUERY, query->c_str(), 0) != CURLUE_OK) {
        return std::nullopt;
    }
    return handle.get(CURLUPART_URL);
}

}  // namespace vesk

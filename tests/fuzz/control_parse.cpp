// Any bytes from a control connection: parse never throws, and a request it returns has a
// method, a path without its query, trimmed headers and an object body. Nothing comes back
// before the blank line has fully arrived, and later bytes never change a request. The
// response for that body, with its status line swapped for a request line, parses back
// to the same body, so the framing and the body agree.
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "VeskControl/ControlHttp.hpp"

namespace {

bool trimmedAndNonEmpty(const std::optional<std::string>& value) {
    if (!value) return true;
    auto edge = [](char c) { return c == ' ' || c == '\t'; };
    return !value->empty() && !edge(value->front()) && !edge(value->back());
}

auto fields(const vesk::ControlRequest& r) { return std::tie(r.method, r.path, r.body, r.contentType, r.host); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    namespace ControlHttp = vesk::ControlHttp;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto parsed = ControlHttp::parse(bytes);
    auto* request = std::get_if<vesk::ControlRequest>(&parsed);
    if (!request) return 0;

    if (request->method.empty() || request->method.find(' ') != std::string::npos) __builtin_trap();
    if (request->path.empty() || request->path.find_first_of(" ?") != std::string::npos) __builtin_trap();
    if (!request->body.is_object()) __builtin_trap();
    if (!trimmedAndNonEmpty(request->host) || !trimmedAndNonEmpty(request->contentType)) __builtin_trap();

    size_t headEnd = bytes.find("\r\n\r\n");
    if (!std::holds_alternative<ControlHttp::Incomplete>(ControlHttp::parse(bytes.substr(0, headEnd + 3)))) __builtin_trap();
    std::string more(bytes);
    more.append("\r\n\r\n{\"x\":1}");
    auto longer = ControlHttp::parse(more);
    auto* again = std::get_if<vesk::ControlRequest>(&longer);
    if (!again || fields(*request) != fields(*again)) __builtin_trap();

    std::string response = ControlHttp::json(200, request->body);
    std::string asRequest = "POST /";
    asRequest.append(std::string_view(response).substr(response.find("\r\n")));
    auto echoedParse = ControlHttp::parse(asRequest);
    auto* echoed = std::get_if<vesk::ControlRequest>(&echoedParse);
    if (!echoed || echoed->body != request->body || echoed->contentType != "application/json") __builtin_trap();
    return 0;
}

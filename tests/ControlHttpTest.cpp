#include "VeskControl/ControlHttp.hpp"

#include <gtest/gtest.h>

namespace vesk::test {
namespace {

using nlohmann::json;

// What parse should give; no method means no request (yet), unless it is malformed.
struct Expected {
    std::string method{};
    std::string path = "/";
    json body = json::object();
    std::optional<std::string> contentType = std::nullopt;
    std::optional<std::string> host = std::nullopt;
    bool malformed = false;
};

// A POST to "/" with the given header lines and whatever follows the head.
std::string postWith(std::string_view headers, std::string_view rest) {
    return "POST / HTTP/1.1\r\n" + std::string(headers) + "\r\n" + std::string(rest);
}

TEST(ControlHttp, ParsesOnlyFramingThatCannotBeReadTwoWays) {
    const Expected none{}, malformed{.malformed = true}, post{.method = "POST"};
    const Expected posted{.method = "POST", .body = {{"a", 1}}};
    const std::string object = R"({"a":1})";  // seven bytes
    const struct {
        const char* what;
        std::string data;
        Expected expected;
    } cases[] = {
        {"query dropped, host keeps its port", "GET /status?x=1 HTTP/1.1\r\nHost: 127.0.0.1:5355\r\n\r\n",
         {.method = "GET", .path = "/status", .host = "127.0.0.1:5355"}},
        {"question marks only", "GET ?? HTTP/1.1\r\n\r\n", {.method = "GET"}},
        {"runs of spaces, extra words", "  PUT   /x  HTTP/1.1 more\r\n\r\n", {.method = "PUT", .path = "/x"}},
        {"method and a trailing space", "GET \r\n\r\n", none},
        {"invalid UTF-8 in a header", "GET / HTTP/1.1\r\nX: \xED\xA0\x80\r\n\r\n", none},
        {"bare LF as a line end", "GET / HTTP/1.1\nHost: x\r\n\r\n", malformed},
        {"bare LF before the head is whole", "GET / HTTP/1.1\r\nHost: x\n", malformed},
        {"lone CR is no line break", "GET / HTTP/1.1\r\nX: 1\rHost: y\r\n\r\n", {.method = "GET"}},
        {"header names in any case, values as sent",
         "GET / HTTP/1.1\r\nCONTENT-TYPE:  Application/JSON\t\r\nhost:\tLocalHost \r\n\r\n",
         {.method = "GET", .contentType = "Application/JSON", .host = "LocalHost"}},
        {"last header wins, an empty one counts as absent",
         "GET / HTTP/1.1\r\nContent-Type: t1\r\nHost: \t\r\nContent-Type: t2\r\nContent-Type:\r\n\r\n",
         {.method = "GET", .contentType = "t2"}},
        {"two Host headers", "GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n", malformed},
        {"tab before a header's colon", "GET / HTTP/1.1\r\nX-Note\t: x\r\n\r\n", malformed},
        {"folded line", "GET / HTTP/1.1\r\nX-Note: x\r\n\tand more\r\n\r\n", malformed},
        {"value keeps later colons", "GET / HTTP/1.1\r\nHost: [::1]:53\r\n\r\n", {.method = "GET", .host = "[::1]:53"}},
        {"a CR line does not end the head", "GET / HTTP/1.1\r\n\r\r\nHost: x\r\n\r\n", {.method = "GET", .host = "x"}},
        {"bytes past the length ignored", postWith("Content-Length: 7\r\n", object + "garbage"), posted},
        {"a byte short", postWith("Content-Length: 8\r\n", object), none},
        {"no length, no body", postWith("", object), post},
        {"plus sign", postWith("Content-Length: +7\r\n", object), posted},
        {"negative is no body, not a wait", postWith("Content-Length: -5\r\n", object), post},
        {"trailing junk", postWith("Content-Length: 7x\r\n", object), post},
        {"later length of 0 wins", postWith("Content-Length: 7\r\nContent-Length: x\r\n", object), post},
        {"empty length keeps the earlier one", postWith("Content-Length: 7\r\nContent-Length:   \r\n", object), posted},
        {"array", postWith("Content-Length: 5\r\n", "[1,2]"), post},
        {"invalid UTF-8 in the body only", postWith("Content-Length: 8\r\n", "{\"a\":\"\xFF\"}"), post},
    };
    for (const auto& [what, data, expected] : cases) {
        SCOPED_TRACE(what);
        auto parsed = ControlHttp::parse(data);
        EXPECT_EQ(std::holds_alternative<ControlHttp::Malformed>(parsed), expected.malformed);
        auto* got = std::get_if<ControlRequest>(&parsed);
        EXPECT_EQ(got != nullptr, !expected.method.empty());
        if (!got) continue;
        EXPECT_EQ(std::tie(got->method, got->path, got->body, got->contentType, got->host),
                  std::tie(expected.method, expected.path, expected.body, expected.contentType, expected.host));
    }
}

}  // namespace
}  // namespace vesk::test

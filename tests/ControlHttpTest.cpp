#include "VeskControl/ControlHttp.hpp"

#include <gtest/gtest.h>

namespace vesk::test {
namespace {

using nlohmann::json;

// What parse should give; no method means no request (yet), unless it is malformed.
struct Expected {
    std::string method;
    std::string path = "/";
    json body = json::object();
    std::optional<std::string> contentType = std::nullopt;
    std::optional<std::string> host = std::nullopt;
    bool malformed = false;
};

struct Case {
    const char* what;
    std::string data;
    Expected expected;
};

void check(const Case& c) {
    SCOPED_TRACE(c.what);
    auto parsed = ControlHttp::parse(c.data);
    EXPECT_EQ(std::holds_alternative<ControlHttp::Malformed>(parsed), c.expected.malformed);
    auto* got = std::get_if<ControlRequest>(&parsed);
    if (c.expected.method.empty()) {
        EXPECT_FALSE(got) << got->method << " " << got->path;
        return;
    }
    ASSERT_TRUE(got);
    EXPECT_EQ(got->method, c.expected.method);
    EXPECT_EQ(got->path, c.expected.path);
    EXPECT_EQ(got->body, c.expected.body);
    EXPECT_EQ(got->contentType, c.expected.contentType);
    EXPECT_EQ(got->host, c.expected.host);
}

const Expected none{};
const Expected malformed{.method = "", .malformed = true};
const Expected post{.method = "POST"};

Expected posted(json body) { return {.method = "POST", .body = std::move(body)}; }

// A POST to "/" with the given header lines and whatever follows the head.
std::string postWith(std::string_view headers, std::string_view rest) {
    std::string text = "POST / HTTP/1.1\r\n";
    text.append(headers).append("\r\n").append(rest);
    return text;
}

TEST(ControlHttp, RequestLineAndTarget) {
    for (const auto& c : std::vector<Case>{
             {"query dropped, host keeps its port", "GET /status?x=1 HTTP/1.1\r\nHost: 127.0.0.1:5355\r\n\r\n",
              {.method = "GET", .path = "/status", .host = "127.0.0.1:5355"}},
             {"question marks only", "GET ?? HTTP/1.1\r\n\r\n", {.method = "GET"}},
             {"runs of spaces, extra words", "  PUT   /x  HTTP/1.1 more\r\n\r\n", {.method = "PUT", .path = "/x"}},
             {"method and a trailing space", "GET \r\n\r\n", none},
             {"nothing before the blank line", "\r\n\r\n", none},
             {"head not finished", "GET / HTTP/1.1\r\nHost: x\r\n", none},
             {"invalid UTF-8 in a header", "GET / HTTP/1.1\r\nX: \xED\xA0\x80\r\n\r\n", none},
             {"UTF-8 in the head is fine", "GET /caf\xC3\xA9 HTTP/1.1\r\n\r\n",
              {.method = "GET", .path = "/caf\xC3\xA9"}},
             {"bare LF as a line end", "GET / HTTP/1.1\nHost: x\r\n\r\n", malformed},
             {"bare LF before the head is whole", "GET / HTTP/1.1\r\nHost: x\n", malformed},
             {"lone CR is no line break", "GET / HTTP/1.1\r\nX: 1\rHost: y\r\n\r\n", {.method = "GET"}},
         }) {
        check(c);
    }
}

TEST(ControlHttp, Headers) {
    for (const auto& c : std::vector<Case>{
             {"names in any case, values as sent",
              "GET / HTTP/1.1\r\nCONTENT-TYPE:  Application/JSON\t\r\nhost:\tLocalHost \r\n\r\n",
              {.method = "GET", .contentType = "Application/JSON", .host = "LocalHost"}},
             {"last one wins, an empty one counts as absent",
              "GET / HTTP/1.1\r\nContent-Type: t1\r\nHost: \t\r\nContent-Type: t2\r\nContent-Type:\r\n\r\n",
              {.method = "GET", .contentType = "t2"}},
             {"two Host headers", "GET / HTTP/1.1\r\nHost: a\r\nhost: a\r\n\r\n", malformed},
             {"space before the colon", "GET / HTTP/1.1\r\nHost : x\r\n\r\n", malformed},
             {"tab before another header's colon", "GET / HTTP/1.1\r\nX-Note\t: x\r\n\r\n", malformed},
             {"folded line", "GET / HTTP/1.1\r\nX-Note: x\r\n\tand more\r\n\r\n", malformed},
             {"value keeps later colons", "GET / HTTP/1.1\r\nHost: [::1]:53\r\n\r\n", {.method = "GET", .host = "[::1]:53"}},
             {"a CR line does not end the head", "GET / HTTP/1.1\r\n\r\r\nHost: x\r\n\r\n", {.method = "GET", .host = "x"}},
         }) {
        check(c);
    }
}

TEST(ControlHttp, BodyAndItsLength) {
    const std::string object = R"({"a":1})";  // seven bytes
    for (const auto& c : std::vector<Case>{
             {"exact length", postWith("Content-Length: 7\r\n", object), posted({{"a", 1}})},
             {"bytes past the length ignored", postWith("Content-Length: 7\r\n", object + "garbage"), posted({{"a", 1}})},
             {"a byte short", postWith("Content-Length: 8\r\n", object), none},
             {"no length, no body", postWith("", object), post},
             {"plus sign", postWith("Content-Length: +7\r\n", object), posted({{"a", 1}})},
             {"negative is no body, not a wait", postWith("Content-Length: -5\r\n", object), post},
             {"two signs", postWith("Content-Length: +-7\r\n", object), post},
             {"trailing junk", postWith("Content-Length: 7x\r\n", object), post},
             {"overflow", postWith("Content-Length: 99999999999999999999\r\n", object), post},
             {"name in any case, tab trimmed", postWith("content-LENGTH:\t7\t\r\n", object), posted({{"a", 1}})},
             {"last length wins", postWith("Content-Length: 100\r\nContent-Length: 7\r\n", object), posted({{"a", 1}})},
             {"later length of 0 wins", postWith("Content-Length: 7\r\nContent-Length: x\r\n", object), post},
             {"empty length keeps the earlier one", postWith("Content-Length: 7\r\nContent-Length:   \r\n", object),
              posted({{"a", 1}})},
             {"array", postWith("Content-Length: 5\r\n", "[1,2]"), post},
             {"invalid JSON", postWith("Content-Length: 5\r\n", R"({"a":)"), post},
             {"invalid UTF-8 in the body only", postWith("Content-Length: 8\r\n", "{\"a\":\"\xFF\"}"), post},
         }) {
        check(c);
    }
}

TEST(ControlHttp, NothingUntilTheLastByteArrives) {
    const std::string whole = postWith("Host: h\r\nContent-Length: 9\r\n", R"({"b":[]})" "\n");
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_TRUE(std::holds_alternative<ControlHttp::Incomplete>(ControlHttp::parse(std::string_view(whole).substr(0, cut))))
            << cut;
    }
    check({"whole", whole, {.method = "POST", .body = {{"b", json::array()}}, .host = "h"}});
}

// Status line, headers and body of a framed response.
struct Framed {
    std::string statusLine, head, body;
};

Framed split(const std::string& response) {
    size_t headEnd = response.find("\r\n\r\n");
    EXPECT_NE(headEnd, std::string::npos);
    return {response.substr(0, response.find("\r\n")), response.substr(0, headEnd + 2),
            response.substr(headEnd + 4)};
}

TEST(ControlHttp, ResponseFraming) {
    struct {
        int status;
        json object;
        const char* statusLine;
        std::string body;
    } cases[] = {
        {200, {{"ok", true}}, "HTTP/1.1 200 OK", R"({"ok":true})"},
        {201, json::object(), "HTTP/1.1 201 ERR", "{}"},
        {500, {{"bad", "a\xFFz"}}, "HTTP/1.1 500 ERR", "{\"bad\":\"a\xEF\xBF\xBDz\"}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.statusLine);
        std::string response;
        ASSERT_NO_THROW(response = ControlHttp::json(c.status, c.object));
        auto framed = split(response);
        EXPECT_EQ(framed.statusLine, c.statusLine);
        EXPECT_EQ(framed.body, c.body);
        std::string headers = "\r\nContent-Type: application/json\r\nContent-Length: ";
        headers.append(std::to_string(c.body.size())).append("\r\nConnection: close\r\n");
        EXPECT_EQ(framed.head, c.statusLine + headers);
    }
}

}  // namespace
}  // namespace vesk::test

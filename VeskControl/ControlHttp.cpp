#include "ControlHttp.hpp"

#include <cstdint>

#include "VeskPlatform/Text.hpp"
#include "VeskPlatform/Utf8.hpp"

namespace vesk::ControlHttp {
namespace {

constexpr std::string_view headEnd = "\r\n\r\n";
constexpr std::string_view lineEnd = "\r\n";

std::string_view trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool startsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
    if (text.size() < lowerPrefix.size()) return false;
    for (size_t i = 0; i < lowerPrefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerPrefix[i]) return false;
    }
    return true;
}

// The index-th non-empty piece between separators. Walked lazily so that a line of a
// megabyte of separators costs no allocations.
std::optional<std::string_view> piece(std::string_view text, char separator, size_t index) {
    size_t from = 0;
    while (from < text.size()) {
        size_t to = text.find(separator, from);
        if (to == std::string_view::npos) to = text.size();
        if (to > from) {
            if (index == 0) return text.substr(from, to - from);
            --index;
        }
        from = to + 1;
    }
    return std::nullopt;
}

// Anything but a base-10 integer, overflow included, counts as 0: no body.
int64_t lengthOf(std::string_view text) { return parseDecimal(text).value_or(0); }

// Where the head ends. Wherever the blank line sits, its first CR or its first LF is at
// an odd index, so only those are looked at: the buffer is searched again after every
// read, and a plain search costs a compare at every byte of a flood of CRs.
size_t headSizeOf(std::string_view data) {
    for (size_t i = 1; i < data.size(); i += 2) {
        if (data[i] != '\r' && data[i] != '\n') continue;
        size_t start = data[i] == '\r' ? i : i - 1;
        if (data.substr(start, headEnd.size()) == headEnd) return start;
    }
    return std::string_view::npos;
}

// A line feed that ends no CRLF pair.
bool hasBareLineFeed(std::string_view text) {
    for (size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
        if (at == 0 || text[at - 1] != '\r') return true;
    }
    return false;
}

// A header line that is a continuation (folded onto the line before it), or whose name
// has white space in it or before its colon.
bool isMalformedHeader(std::string_view line) {
    if (line.starts_with(' ') || line.starts_with('\t')) return true;
    size_t colon = line.find(':');
    return colon != std::string_view::npos && line.substr(0, colon).find_first_of(" \t") != std::string_view::npos;
}

// The text after the first ":" of a header line, trimmed.
std::string_view valueOf(std::string_view line) {
    return trimmed(line.substr(line.find(':') + 1));
}

}  // namespace

Parsed parse(std::string_view data) {
    size_t headSize = headSizeOf(data);
    if (hasBareLineFeed(data.substr(0, headSize))) return Malformed{};
    if (headSize == std::string_view::npos) return Incomplete{};
    std::string_view head = data.substr(0, headSize);
    if (!Utf8::isValid(head)) return Incomplete{};

    size_t lineStart = 0;
    auto nextLine = [&]() -> std::optional<std::string_view> {
        if (lineStart > head.size()) return std::nullopt;
        size_t stop = head.find(lineEnd, lineStart);
        if (stop == std::string_view::npos) stop = head.size();
        std::string_view line = head.substr(lineStart, stop - lineStart);
        lineStart = stop + lineEnd.size();
        return line;
    };

    std::string_view requestLine = *nextLine();  // an empty head is still one line
    auto method = piece(requestLine, ' ', 0);
    auto target = piece(requestLine, ' ', 1);
    if (!method || !target) return Incomplete{};

    ControlRequest request;
    request.method = *method;
    request.path = piece(*target, '?', 0).value_or("/");

    // A header whose value trims to nothing is taken as never sent, so it cannot wipe
    // out an earlier one of the same name.
    int64_t length = 0;
    std::optional<std::string_view> contentType, host;
    int hostLines = 0;
    while (auto line = nextLine()) {
        if (isMalformedHeader(*line)) return Malformed{};
        if (startsWithNoCase(*line, "content-length:")) {
            std::string_view text = trimmed(piece(*line, ':', 1).value_or(""));
            if (!text.empty()) length = lengthOf(text);
        } else if (startsWithNoCase(*line, "content-type:")) {
            if (auto value = valueOf(*line); !value.empty()) contentType = value;
        } else if (startsWithNoCase(*line, "host:")) {
            if (++hostLines > 1) return Malformed{};
            if (auto value = valueOf(*line); !value.empty()) host = value;
        }
    }
    if (contentType) request.contentType = std::string(*contentType);
    if (host) request.host = std::string(*host);

    std::string_view received = data.substr(headSize + headEnd.size());
    if (length < 1) return request;
    if (static_cast<uint64_t>(length) > received.size()) return Incomplete{};
    std::string_view body = received.substr(0, static_cast<size_t>(length));
    auto parsed = nlohmann::json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_object()) request.body = std::move(parsed);
    return request;
}

std::string json(int status, const nlohmann::json& object) {
    std::string text;
    try {
        // Replacing bad UTF-8 rather than refusing it leaves only allocation to fail here.
        text = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        text = "{}";
    }
    std::string response = "HTTP/1.1 ";
    response.append(std::to_string(status));
    response.append(status == 200 ? " OK" : " ERR");
    response.append("\r\nContent-Type: application/json\r\nContent-Length: ");
    response.append(std::to_string(text.size()));
    response.append("\r\nConnection: close\r\n\r\n");
    response.append(text);
    return response;
}

}  // namespace vesk::ControlHttp

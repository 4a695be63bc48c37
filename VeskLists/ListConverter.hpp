#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace vesk {

// Turns a downloaded list, in any of the forms such lists are published in, into the
// blocklist file's form: one lower-case domain per line. A line may be
//   - a domain ("example.com"),
//   - a hosts-file entry ("0.0.0.0 a.example b.example", any IPv4 or IPv6 address first),
//   - an adblock-style domain rule ("||example.com^"),
// with "#" comments (whole-line or trailing) and "!" comment lines. A line of any other
// syntax (a URL, a wildcard, an adblock rule with options, text that is not UTF-8) adds
// nothing and is counted as skipped. It works as the bytes arrive, holding one line at a
// time, so that a list of millions of names is never held whole.
class ListConverter {
public:
    struct Counts {
        size_t names = 0;    // domains handed to the sink (duplicates included)
        size_t skipped = 0;  // lines of a syntax the lists do not use
    };
    using Sink = std::function<void(std::string_view domain)>;

    explicit ListConverter(Sink sink) : out(std::move(sink)) {}

    // Bytes of the list, cut anywhere.
    void feed(std::string_view bytes);
    // Ends the last line (a list need not end with a line break) and says what was found.
    Counts finish();

    // Converts the file at `from` into a new file at `to` (mode 0644, replacing what is
    // there only once the whole list is written). An empty text and the counts on success,
    // otherwise the error's text.
    static std::string convertFile(const std::string& from, const std::string& to, Counts& counts);

private:
    void line(std::string_view text);
    void emit(std::string_view name);

    // A line is never longer than this in any list; a longer one is skipped, not held.
    static constexpr size_t longestLine = 4096;

    Sink out;
    Counts counts;
    std::string partial;  // the start of a line whose end has not come
    bool overlong = false;
    bool first = true;  // a byte-order mark may start the first line
};

}  // namespace vesk

#include "ListConverter.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "VeskDNSCore/DomainName.hpp"
#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

// The next blank-separated word of text, taken off its front.
std::string_view nextWord(std::string_view& text) {
    size_t start = 0;
    while (start < text.size() && isBlank(text[start])) ++start;
    size_t end = start;
    while (end < text.size() && !isBlank(text[end])) ++end;
    std::string_view word = text.substr(start, end - start);
    text.remove_prefix(end);
    return word;
}

bool isAddress(std::string_view word) {
    char text[INET6_ADDRSTRLEN + 1];
    if (word.empty() || word.size() >= sizeof text) return false;
    std::memcpy(text, word.data(), word.size());
    text[word.size()] = '\0';
    unsigned char bytes[16];
    return ::inet_pton(AF_INET, text, bytes) == 1 || ::inet_pton(AF_INET6, text, bytes) == 1;
}

// Whether a word may be a domain: labels of letters, digits, "-" and "_" (or any non-ASCII
// letter of an international name), joined by single dots, at least two of them. One
// trailing dot is allowed; URLs, wildcards, patterns and addresses are not domains.
bool isDomain(std::string_view word) {
    if (!word.empty() && word.back() == '.') word.remove_suffix(1);
    if (word.empty() || word.size() > 253 || word.find('.') == std::string_view::npos) return false;
    size_t label = 0;
    for (char c : word) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            continue;
        }
        bool allowed = byte >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_';
        if (!allowed || ++label > 63) return false;
    }
    return label > 0 && !isAddress(word);
}

}  // namespace

void ListConverter::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        size_t end = bytes.find('\n');
        std::string_view piece = bytes.substr(0, end);
        if (!overlong && partial.size() + piece.size() > longestLine) {
            overlong = true;
            partial.clear();
        }
        if (end == std::string_view::npos) {
            if (!overlong) partial.append(piece);
            return;
        }
        if (overlong) {
            ++counts.skipped;
            overlong = false;
        } else if (partial.empty()) {
            line(piece);
        } else {
            partial.append(piece);
            line(partial);
            partial.clear();
        }
        bytes.remove_prefix(end + 1);
    }
}

ListConverter::Counts ListConverter::finish() {
    feed("\n");
    return counts;
}

void ListConverter::line(std::string_view text) {
    if (first && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    first = false;
    if (!DomainName::isValidUTF8(text)) {
        ++counts.skipped;
        return;
    }
    text = DomainName::trimmed(text);
    if (text.empty() || text.front() == '#' || text.front() == '!') return;
    if (text.starts_with("||")) {
        text.remove_prefix(2);
        if (text.ends_with('^') && isDomain(text.substr(0, text.size() - 1))) {
            emit(text.substr(0, text.size() - 1));
        } else {
            ++counts.skipped;
        }
        return;
    }
    text = text.substr(0, text.find('#'));  // a comment after an entry
    std::string_view word = nextWord(text);
    if (isAddress(word)) {
        // A hosts-file entry: every name after the address. Its other words ("localhost",
        // "broadcasthost") are the hosts file's own and no domain of any list.
        for (word = nextWord(text); !word.empty(); word = nextWord(text)) {
            if (isDomain(word)) emit(word);
        }
        return;
    }
    if (isDomain(word) && nextWord(text).empty()) {
        emit(word);
    } else {
        ++counts.skipped;
    }
}

void ListConverter::emit(std::string_view name) {
    if (name.back() == '.') name.remove_suffix(1);
    std::string lower = DomainName::lowercased(name);
    if (lower == "localhost.localdomain") return;  // in every hosts file, blocking nothing
    ++counts.names;
    out(lower);
}

std::string ListConverter::convertFile(const std::string& from, const std::string& to, Counts& counts) {
    int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    Files::AtomicFile file(to, 0644);
    std::string written;
    ListConverter converter([&](std::string_view name) {
        written.append(name);
        written.push_back('\n');
        if (written.size() >= (1 << 20)) {
            file.write(written);
            written.clear();
        }
    });
    std::string buffer(1 << 20, '\0');
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int error = errno;
            ::close(fd);
            return std::strerror(error);
        }
        if (n == 0) break;
        converter.feed(std::string_view(buffer.data(), static_cast<size_t>(n)));
    }
    ::close(fd);
    counts = converter.finish();
    file.write(written);
    return file.commit();
}

}  // namespace vesk

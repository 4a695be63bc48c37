#include "BlocklistCache.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;

// Hashes what `feed` hands it; empty when the digest cannot be made or feed fails.
template <typename Feed>
std::string sha256Hex(Feed feed) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return {};
    bool fed = feed([&](const void* data, size_t size) { EVP_DigestUpdate(context.get(), data, size); });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!fed || EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return {};
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        out += pair;
    }
    return out;
}

}  // namespace

std::string BlocklistCache::stem(const std::string& url) const {
    std::string name = sha256Hex([&](auto update) {
        update(url.data(), url.size());
        return true;
    });
    return directory + "/" + name.substr(0, 16);
}

std::string BlocklistCache::digestOf(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string digest = sha256Hex([fd](auto update) {
        char buffer[1 << 16];
        for (;;) {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n == 0;
            update(buffer, static_cast<size_t>(n));
        }
    });
    ::close(fd);
    return digest;
}

std::optional<BlocklistCache::Record> BlocklistCache::load(const std::string& url, std::string& why) const {
    auto text = Files::readAll(recordPath(url));
    if (!text) {
        why = "no cached copy";
        return std::nullopt;
    }
    json record = json::parse(*text, nullptr, false);
    auto field = [&](const char* key) {
        auto it = record.is_object() ? record.find(key) : record.end();
        return it != record.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    auto names = record.is_object() ? record.find("names") : record.end();
    if (field("url") != url || names == record.end() || !names->is_number_unsigned()) {
        why = "its record is unreadable";
        return std::nullopt;
    }
    Record out{{field("etag"), field("lastModified"), field("digest"), names->get<size_t>()}, field("updated")};
    if (out.copy.digest.empty() || digestOf(listPath(url)) != out.copy.digest) {
        why = "the cached copy does not match its digest";
        return std::nullopt;
    }
    return out;
}

std::string BlocklistCache::commit(const std::string& url, const Record& record, bool moveList) const {
    // The list first: should the record not follow, the two disagree, and the next start
    // fetches afresh rather than trusting either.
    if (moveList && ::rename(pendingPath(url).c_str(), listPath(url).c_str()) != 0) return std::strerror(errno);
    json body = {{"url", url},
                 {"etag", record.copy.etag},
                 {"lastModified", record.copy.lastModified},
                 {"digest", record.copy.digest},
                 {"names", record.copy.names},
                 {"updated", record.updated}};
    Files::AtomicFile file(recordPath(url), 0644);
    file.write(body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n");  // validators are the server's bytes
    return file.commit();
}

}  // namespace vesk

#include "SystemLookup.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "VeskPlatform/Text.hpp"

namespace vesk {

std::string SystemLookup::Result::describe() const {
    if (failure) return "failed: " + *failure;
    if (addresses.empty()) return "no address";
    std::string text = "answered";
    for (const auto& address : addresses) text += " " + address;
    return text;
}

SystemLookup::Result SystemLookup::lookup(const std::string& name) {
#ifdef __APPLE__
    (void)tools;
    return viaGetaddrinfo(name);
#else
    return parseDscacheutil(
        tools.capture("/usr/bin/dscacheutil", {"-q", "host", "-a", "name", name}, ToolRunner::Capture::outputOnly));
#endif
}

SystemLookup::Result SystemLookup::parseDscacheutil(const ToolRunner::Result& answer) {
    Result result;
    if (answer.code != 0) {
        result.failure = answer.code < 0 ? answer.out : "dscacheutil exited with " + std::to_string(answer.code);
        return result;
    }
    for (auto line : nonEmptyLines(answer.out)) {
        for (std::string_view key : {"ip_address: ", "ipv6_address: "}) {
            if (line.starts_with(key)) result.addresses.emplace_back(line.substr(key.size()));
        }
    }
    return result;
}

SystemLookup::Result SystemLookup::viaGetaddrinfo(const std::string& name) {
    Result result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (status != 0) {
        if (status != EAI_NONAME) result.failure = ::gai_strerror(status);
        return result;
    }
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = nullptr;
        if (entry->ai_family == AF_INET) {
            address = &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
        } else if (entry->ai_family == AF_INET6) {
            address = &reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr;
        }
        if (address && ::inet_ntop(entry->ai_family, address, text, sizeof text)) result.addresses.emplace_back(text);
    }
    ::freeaddrinfo(found);
    return result;
}

}  // namespace vesk

// dscacheutil -q host: a lookup through the host's own resolver, made as the Mac makes it:
// a per-domain resolver file, else /etc/hosts, else the primary network service's server;
// with no network, the hosts file alone.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "DnsQuery.hpp"
#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

namespace fs = std::filesystem;

// Whether domain is the name or one of its parents ("" is the root, everyone's parent).
bool within(const std::string& name, const std::string& domain) {
    if (domain.empty() || name == domain) return true;
    return name.size() > domain.size() && name.ends_with(domain) && name[name.size() - domain.size() - 1] == '.';
}

std::optional<Address> parseAddress(const std::string& text) {
    in6_addr any{};
    if (::inet_pton(AF_INET, text.c_str(), &any) == 1) return Address{false, text};
    if (::inet_pton(AF_INET6, text.c_str(), &any) == 1) return Address{true, text};
    return std::nullopt;
}

// The words of each line of the file, comments (from '#') left out; blank lines skipped.
std::vector<std::vector<std::string>> wordsOf(const std::string& path) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream text(readFile(path).value_or(""));
    for (std::string line; std::getline(text, line);) {
        std::istringstream in(line.substr(0, line.find('#')));
        std::vector<std::string> words;
        for (std::string word; in >> word;) words.push_back(word);
        if (!words.empty()) lines.push_back(std::move(words));
    }
    return lines;
}


// --- The sources, in the order the host consults them ---

struct ResolverFile {
    std::string file, domain;
    std::vector<std::string> servers;
    uint16_t port = 53;
};

ResolverFile readResolverFile(const fs::path& file) {
    ResolverFile read{file.filename().string(), canonical(file.filename().string()), {}};
    for (const auto& words : wordsOf(file.string())) {
        if (words.size() < 2) continue;
        if (words[0] == "domain") read.domain = canonical(words[1]);
        if (words[0] == "nameserver") read.servers.push_back(words[1]);
        auto port = words[0] == "port" ? decimal(words[1]) : std::nullopt;
        if (port && *port > 0 && *port <= 65535) read.port = static_cast<uint16_t>(*port);
    }
    return read;
}

// The file with the longest domain that is the name or a parent of it, among those that
// name a server; ties go to the first file by name.
std::optional<ResolverFile> resolverFileFor(const Host& host, const std::string& name) {
    std::error_code failed;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(host.path("/etc/resolver"), failed)) {
        if (entry.is_regular_file(failed)) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::optional<ResolverFile> best;
    for (const auto& file : files) {
        ResolverFile candidate = readResolverFile(file);
        if (candidate.servers.empty() || !within(name, candidate.domain)) continue;
        if (!best || candidate.domain.size() > best->domain.size()) best = std::move(candidate);
    }
    return best;
}

std::vector<Address> hostsEntries(const Host& host, const std::string& name) {
    std::vector<Address> found;
    for (const auto& words : wordsOf(host.path("/etc/hosts"))) {
        bool named = std::any_of(words.begin() + 1, words.end(),
                                 [&](const std::string& word) { return canonical(word) == name; });
        if (auto address = parseAddress(words[0]); named && address) found.push_back(*address);
    }
    return found;
}

std::pair<std::string, Result> lookUp(const Host& host, const std::string& asked) {
    std::string name = canonical(asked);
    if (fs::exists(host.state("encrypted-dns"))) {
        return {"encrypted resolver installed", {{}, "bypassed, no query sent for " + asked}};
    }
    // With no network (no link on any enabled service) no server is asked, ours included.
    auto primary = primaryDnsServer(host);
    if (auto file = primary ? resolverFileFor(host, name) : std::nullopt) {
        return {"/etc/resolver/" + file->file + " (" + file->domain + ")", askServer(file->servers[0], file->port, asked)};
    }
    if (auto addresses = hostsEntries(host, name); !addresses.empty()) {
        std::string outcome = asked + ": " + counted(addresses.size());
        return {"/etc/hosts", {std::move(addresses), outcome}};
    }
    if (!primary) return {"no network", {{}, "nothing to ask for " + asked}};
    std::string source = "service " + primary->service;
    if (primary->server.empty()) return {source, {{}, "no DNS server to ask for " + asked}};
    return {source, askServer(primary->server, 53, asked)};
}

}  // namespace

int lookUpHost(const Host& host, const std::string& name) {
    auto [source, result] = lookUp(host, name);
    std::cerr << "dscacheutil: " << source << ": " << result.outcome << '\n';
    for (const auto& address : result.addresses) {
        std::cout << "name: " << name << '\n'
                  << (address.v6 ? "ipv6_address: " : "ip_address: ") << address.text << "\n\n";
    }
    return 0;
}

}  // namespace vesk::hostsim

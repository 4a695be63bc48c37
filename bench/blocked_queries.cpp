// Writes dns-throughput's blocked query set in dnsperf's input format ("NAME A" per line):
// every name of LIST that the daemon's own blocklist blocks, in file order, alternately as
// listed and as a subdomain of it ("www." or "cdn." in turn), so that half the lookups hit
// a listed name and half hit through the parent walk. Names the blocklist lets through
// (the platform's own domains) are left out, so every peer is asked only for names that
// all of them refuse.
//
//   blocked-queries LIST > queries.txt
#include <cstdio>
#include <fstream>
#include <string>

#include "VeskDNSCore/Blocklist.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: blocked-queries LIST\n");
        return 2;
    }
    vesk::Blocklist list(argv[1]);
    if (list.count() == 0) {
        std::fprintf(stderr, "blocked-queries: %s blocks nothing\n", argv[1]);
        return 1;
    }
    std::ifstream in(argv[1]);
    size_t written = 0;
    for (std::string name; std::getline(in, name);) {
        if (name.empty() || !list.contains(vesk::DomainName(name))) continue;
        const char* prefix = written % 2 == 0 ? "" : written % 4 == 1 ? "www." : "cdn.";
        std::printf("%s%s A\n", prefix, name.c_str());
        ++written;
    }
    std::fprintf(stderr, "blocked-queries: %zu names\n", written);
    return written > 0 ? 0 : 1;
}

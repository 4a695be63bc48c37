#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "VeskDNSCore/DomainName.hpp"

namespace vesk {

// Tells whether the host's own lookups reach this listener. The tamper watch arms a fresh
// name under the canary domain and has the system resolve it; the pipeline answers every
// name under the domain NXDOMAIN and marks the armed one as come. One watcher at a time.
class Canary {
public:
    // Under an ordinary top-level domain: stub resolvers answer the special-use ones
    // (.invalid, .test, .local) themselves, and the lookup would never leave the machine.
    static constexpr std::string_view domain = "canary.dnsd.quorran.app";

    // A fresh name to look up; an earlier armed name no longer counts.
    std::string arm();
    // On the DNS loop, for each query under the domain. Takes a lock only for the armed
    // name itself, once per lookup.
    void arrived(const DomainName& name);
    // Waits until the armed name has come or the deadline passes; true when it came.
    bool waitUntil(std::chrono::steady_clock::time_point deadline);

private:
    std::atomic<uint64_t> armed{0};  // the armed label's value; 0: none
    std::mutex lock;                 // guards came
    std::condition_variable comes;
    bool came = false;
};

}  // namespace vesk

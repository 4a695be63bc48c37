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
// random name directly under com, net or org and has the system resolve it; the pipeline
// answers the armed name NXDOMAIN and marks it as come. No per-domain resolver file short
// of one for a whole top-level domain (itself a finding) can steer it to us alone, and the
// special-use domains (.invalid, .test, .local) would be answered by the stub resolver
// without leaving the machine. One watcher at a time.
class Canary {
public:
    // A fresh name to look up; an earlier armed name no longer counts.
    std::string arm();
    // Whether name is the armed one. Lock-free: asked on the DNS loop for every query.
    bool isArmed(const DomainName& name) const;
    // On the DNS loop, for the armed name. Takes a lock, once per lookup.
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

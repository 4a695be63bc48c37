#pragma once

#include <chrono>
#include <string_view>

#include "VeskDNSCore/DomainName.hpp"

namespace vesk {

// Told of every blocked query. Called on the DNS loop: it must return at once and do any
// slow work (a network request, a lock held across I/O) elsewhere.
class BlockSubscriber {
public:
    virtual ~BlockSubscriber() = default;
    virtual void blocked(std::string_view category, const DomainName& name,
                         std::chrono::system_clock::time_point at) = 0;
};

}  // namespace vesk

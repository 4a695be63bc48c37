#pragma once

#include <string_view>
#include <vector>

#include "VeskDNSCore/DomainName.hpp"
#include "VeskDNSCore/NameSet.hpp"

// Fixed tables of hosts the filter treats specially, whatever the blocklist says. Built
// once on first use, read-only afterwards, so any thread may ask.
namespace vesk::HostTables {

// Public DNS-over-HTTPS resolvers, and any name under one: refused so that a browser
// cannot resolve past us.
bool isDoHBypass(const DomainName& name);
// The platform's private-relay ingress hosts and its encrypted-DNS host.
bool isPrivateRelayBypass(const DomainName& name);

// The platform's and the product's own infrastructure, which no list may block.
const std::vector<std::string_view>& neverBlock();
// Whether the walked name or one of its walked parents is a never-block name.
bool isNeverBlock(const NameWalk& walk);

}  // namespace vesk::HostTables

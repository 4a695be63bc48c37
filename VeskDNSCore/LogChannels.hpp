#pragma once

#include "VeskPlatform/Log.hpp"

namespace vesk::LogChannels {
inline constexpr LogChannel server{daemon, "server"};
inline constexpr LogChannel forwarder{"app.quorran.tarnik.PacketTunnelProvider", "dns"};
// Which resolvers forwarded queries go to: the public ones or the network's.
inline constexpr LogChannel upstreams{daemon, "upstreams"};
}  // namespace vesk::LogChannels

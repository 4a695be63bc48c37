#pragma once

#include "VeskPlatform/Log.hpp"

namespace vesk::LogChannels {
inline constexpr LogChannel server{daemon, "server"};
inline constexpr LogChannel forwarder{"app.quorran.tarnik.PacketTunnelProvider", "dns"};
}  // namespace vesk::LogChannels

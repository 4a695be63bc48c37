#pragma once

#include "VeskPlatform/Log.hpp"

namespace vesk::LogChannels {
inline constexpr LogChannel proxyMonitor{daemon, "proxy-monitor"};
inline constexpr LogChannel uninstall{daemon, "uninstall"};
inline constexpr LogChannel tamper{daemon, "tamper"};
// Browser restarts and the private-relay probe and reset.
inline constexpr LogChannel browserRestart{"app.quorran.tarnik", "browser-restart"};
}  // namespace vesk::LogChannels

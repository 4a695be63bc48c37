// vesk-hostsim: a simulated macOS host for Linux. "vesk-hostsim install ROOT" lays one out
// under ROOT; invoked through one of the links it makes there, it acts as that tool.
// "vesk-hostsim link ROOT SERVICE up|down" plugs or unplugs a service's network, and
// "vesk-hostsim dhcp ROOT SERVICE SERVERS [DOMAIN]" sets what its DHCP server hands out.

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>

#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

// The host a tool belongs to: the daemon starts tools by their local path
// (ROOT/usr/sbin/networksetup), else the environment names it.
std::optional<std::string> rootOf(const std::string& self, std::string_view hostPath) {
    if (self.ends_with(hostPath)) return self.substr(0, self.size() - hostPath.size());
    if (const char* named = std::getenv("VESK_HOST_ROOT"); named && *named) return std::string(named);
    return std::nullopt;
}

std::string callLine(std::string_view name, const Args& args) {
    std::string line(name);
    for (const auto& arg : args) {
        line += ' ';
        line += shellQuoted(arg);
    }
    return line;
}

int runTool(const Tool& tool, const std::string& self, const Args& args) {
    auto root = rootOf(self, tool.hostPath);
    if (!root) {
        std::cerr << tool.name << ": cannot tell the host's root from " << self
                  << " and VESK_HOST_ROOT is not set\n";
        return exitSoftware;
    }
    Host host(*root);
    // Recorded before acting, so that a call is seen even when the tool then fails.
    appendLine(host.root() + "/calls.log", callLine(tool.name, args));
    return tool.run(host, args);
}

std::string programPath(const std::string& self) {
    std::error_code failed;
    auto path = std::filesystem::read_symlink("/proc/self/exe", failed);
    if (failed) path = std::filesystem::canonical(self);
    return path.string();
}

// The verbs that set up or change a host from outside, as its user or the network would.
int runVerb(const std::string& self, const Args& args) {
    if (args.size() == 2 && args[0] == "install" && !args[1].empty()) {
        install(args[1], programPath(self));
        return 0;
    }
    if (args.size() == 4 && args[0] == "link" && (args[3] == "up" || args[3] == "down")) {
        return setLink(Host(args[1]), args[2], args[3] == "up");
    }
    if ((args.size() == 4 || args.size() == 5) && args[0] == "dhcp") {
        return setDhcp(Host(args[1]), args[2], args[3], args.size() == 5 ? args[4] : "");
    }
    std::cerr << "Usage: vesk-hostsim install ROOT\n"
                 "       vesk-hostsim link ROOT SERVICE up|down\n"
                 "       vesk-hostsim dhcp ROOT SERVICE SERVERS|none [DOMAIN]\n";
    return exitUsage;
}

}  // namespace
}  // namespace vesk::hostsim

int main(int argc, char** argv) {
    using namespace vesk::hostsim;
    std::string self = argc > 0 && argv[0] != nullptr ? argv[0] : "vesk-hostsim";
    std::string name = std::filesystem::path(self).filename().string();
    Args args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    try {
        for (const auto& tool : tools) {
            if (tool.name == name) return runTool(tool, self, args);
        }
        return runVerb(self, args);
    } catch (const std::exception& error) {
        std::cerr << name << ": " << error.what() << '\n';
        return exitSoftware;
    }
}

// brew --prefix [FORMULA]: where Homebrew keeps itself or a formula, as a path on the host.
// As Homebrew's own does, it names a formula it knows of whether or not it is installed;
// only that directory's being there tells.

#include <algorithm>
#include <iostream>
#include <string_view>

#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

constexpr std::string_view prefix = "/opt/homebrew";

// What the project's setup script installs on a Mac.
constexpr std::string_view knownFormulae[] = {
    "asio", "bind", "cmake", "curl", "dnsmasq", "dnsperf", "fmt", "google-benchmark", "googletest",
    "icu4c", "knot", "ninja", "nlohmann-json", "openssl@3", "shellcheck", "unbound",
};

}  // namespace

int runBrew(const Host&, const Args& args) {
    if (args.empty() || args.size() > 2 || args[0] != "--prefix") {
        std::cerr << "usage: brew --prefix [FORMULA]\n";
        return exitUsage;
    }
    if (args.size() == 1) {
        std::cout << prefix << '\n';
        return 0;
    }
    const std::string& formula = args[1];
    if (std::find(std::begin(knownFormulae), std::end(knownFormulae), formula) == std::end(knownFormulae)) {
        std::cerr << "Error: No available formula with the name \"" << formula << "\".\n";
        return 1;
    }
    std::cout << prefix << "/opt/" << formula << '\n';
    return 0;
}

}  // namespace vesk::hostsim

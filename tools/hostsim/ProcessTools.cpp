// The tools that look at or change the user's session: killall, pgrep, open, defaults,
// osascript and sudo.

#include <signal.h>

#include <cstdlib>

#include <iostream>
#include <utility>

#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

// The signal named as killall takes it: a number, or a name with or without "SIG".
std::optional<int> signalNumber(std::string name) {
    if (auto number = decimal(name)) {
        if (*number >= 1 && *number <= 31) return static_cast<int>(*number);
        return std::nullopt;
    }
    if (name.rfind("SIG", 0) == 0) name.erase(0, 3);
    static const std::pair<const char*, int> names[] = {
        {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ABRT", SIGABRT},
        {"KILL", SIGKILL}, {"ALRM", SIGALRM}, {"TERM", SIGTERM}, {"USR1", SIGUSR1},
        {"USR2", SIGUSR2}, {"STOP", SIGSTOP}, {"CONT", SIGCONT},
    };
    for (const auto& [known, number] : names) {
        if (name == known) return number;
    }
    return std::nullopt;
}

int usage(const char* text) {
    std::cerr << "usage: " << text << '\n';
    return exitUsage;
}

// Who a tool runs as: the user sudo -u made it, else root (the daemon and what it starts).
constexpr const char* userVariable = "VESK_HOSTSIM_USER";
std::string actingUser() {
    const char* user = std::getenv(userVariable);
    return user && *user ? user : "root";
}

bool knownUser(const Host& host, const std::string& name) {
    for (const auto& line : readLines(host.path("/etc/passwd"))) {
        if (line.starts_with(name + ":")) return true;
    }
    return false;
}

}  // namespace

int runKillall(const Host& host, const Args& args) {
    int signal = SIGTERM;
    size_t first = 0;
    if (!args.empty() && args[0].size() > 1 && args[0][0] == '-') {
        auto number = signalNumber(args[0].substr(1));
        if (!number) return usage("killall [-SIGNAL] procname");
        signal = *number;
        first = 1;
    }
    if (args.size() != first + 1) return usage("killall [-SIGNAL] procname");
    const std::string& name = args[first];

    StateLock lock(host);
    auto lines = readLines(host.state("processes"));
    std::vector<std::string> survivors;
    bool matched = false;
    for (const auto& line : lines) {
        Process process = parseProcess(line);
        if (process.name != name) {
            survivors.push_back(line);
            continue;
        }
        matched = true;
        bool dies = signal == SIGKILL || (signal == SIGTERM && !process.ignoresTerm);
        if (!dies) survivors.push_back(line);
    }
    if (!matched) {
        std::cerr << "No matching processes were found\n";
        return 1;
    }
    if (survivors.size() != lines.size()) writeLines(host.state("processes"), survivors);
    return 0;
}

int runPgrep(const Host& host, const Args& args) {
    if (args.size() != 2 || args[0] != "-x") return usage("pgrep -x name");
    auto lines = readLines(host.state("processes"));
    bool matched = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (parseProcess(lines[i]).name != args[1]) continue;
        // A made-up pid, stable while the list does not change.
        std::cout << 1000 + i << '\n';
        matched = true;
    }
    return matched ? 0 : 1;
}

int runOpen(const Host& host, const Args& args) {
    if (args.size() != 2 || args[0] != "-a") return usage("open -a application");
    // Applications run under their own process names; the only one that differs here.
    std::string name = args[1] == "Firefox" ? "firefox" : args[1];
    StateLock lock(host);
    auto lines = readLines(host.state("processes"));
    lines.push_back(name);
    writeLines(host.state("processes"), lines);
    return 0;
}

int runDefaults(const Host& host, const Args& args) {
    if (args.size() != 3 || args[0] != "read") return usage("defaults read domain key");
    const std::string& domain = args[1];
    const std::string& key = args[2];
    // The preference is the console user's; root has none of its own.
    if (domain == "com.apple.Safari" && key == "WBSPrivacyProxyAvailabilityActiveOnDefaultNetwork" &&
        actingUser() != "root") {
        if (auto value = readFile(host.state("safari-relay"))) {
            static constexpr const char* blank = " \t\r\n";
            value->erase(value->find_last_not_of(blank) + 1);
            value->erase(0, value->find_first_not_of(blank));
            std::cout << *value << '\n';
            return 0;
        }
    }
    std::cerr << "The domain/default pair of (" << domain << ", " << key << ") does not exist\n";
    return 1;
}

int runOsascript(const Host& host, const Args& args) {
    if (args.empty() || args.size() % 2 != 0) return usage("osascript -e statement [-e statement ...]");
    for (size_t i = 0; i < args.size(); i += 2) {
        if (args[i] != "-e") return usage("osascript -e statement [-e statement ...]");
    }
    for (size_t i = 1; i < args.size(); i += 2) appendLine(host.state("notifications"), args[i]);
    return 0;
}

int runSudo(const Host& host, const Args& args) {
    if (args.size() < 3 || args[0] != "-u") return usage("sudo -u user command [arg ...]");
    if (!knownUser(host, args[1])) {
        std::cerr << "sudo: unknown user " << args[1] << '\n';
        return 1;
    }
    ::setenv(userVariable, args[1].c_str(), 1);
    return execTool(host, "sudo", Args(args.begin() + 2, args.end()));
}

}  // namespace vesk::hostsim

// launchctl: the loaded jobs of hostsim/launchd, one DOMAIN/LABEL [<tab> PID] a line, and
// running a tool in a user's session.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

std::vector<std::string>::iterator findJob(std::vector<std::string>& lines, const std::string& target) {
    return std::find_if(lines.begin(), lines.end(),
                        [&](const std::string& line) { return parseJob(line).target == target; });
}

int usage() {
    std::cerr << "Usage: launchctl asuser <uid> <command> [args ...]\n"
                 "       launchctl bootout <domain>/<label>\n"
                 "       launchctl bootstrap <domain> <plist>\n"
                 "       launchctl kickstart [-k] <domain>/<label>\n";
    return exitUsage;
}

// The tool runs in the user's session but as whoever ran launchctl: root, for the daemon.
int asUser(const Host& host, const Args& args) {
    if (args.size() < 3 || !decimal(args[1])) return usage();
    return execTool(host, "launchctl", Args(args.begin() + 2, args.end()));
}

// The system's own agents in a user's domain cannot be stopped while its integrity
// protection is on, which it is on nearly every Mac.
bool protectedJob(const std::string& target) {
    return target.starts_with("gui/") && target.substr(target.rfind('/') + 1).starts_with("com.apple.");
}
constexpr const char* protectedMessage = "Operation not permitted while System Integrity Protection is engaged";
constexpr int protectedStatus = 150;

int bootout(const Host& host, const std::string& target) {
    if (protectedJob(target)) {
        std::cerr << "Boot-out failed: " << protectedStatus << ": " << protectedMessage << '\n';
        return protectedStatus;
    }
    Job job;
    {
        StateLock lock(host);
        auto lines = readLines(host.state("launchd"));
        auto found = findJob(lines, target);
        if (found == lines.end()) {
            std::cerr << "Boot-out failed: 3: No such process\n";
            return 3;
        }
        job = parseJob(*found);
        lines.erase(found);
        writeLines(host.state("launchd"), lines);
    }
    if (job.pid != 0) ::kill(job.pid, SIGTERM);
    return 0;
}

int kickstart(const Host& host, const std::string& target) {
    size_t slash = target.rfind('/');
    if (slash == std::string::npos || slash == 0) return usage();
    auto lines = readLines(host.state("launchd"));
    std::string domain = target.substr(0, slash);
    std::string label = target.substr(slash + 1);
    if (protectedJob(target)) {
        std::cerr << "Could not kickstart service \"" << label << "\": " << protectedStatus << ": " << protectedMessage
                  << '\n';
        return protectedStatus;
    }
    if (findJob(lines, target) != lines.end()) return 0;
    std::cerr << "Could not find service \"" << label << "\" in domain for ";
    if (domain.rfind("gui/", 0) == 0) {
        std::cerr << "user gui: " << domain.substr(4) << '\n';
    } else {
        std::cerr << domain << '\n';
    }
    return 113;
}

int bootstrap(const Host& host, const std::string& domain, const std::string& plist) {
    struct stat status{};
    if (::stat(host.path(plist).c_str(), &status) != 0) {
        std::cerr << "Bootstrap failed: 5: Input/output error\n";
        return 5;
    }
    std::string label = plist.substr(plist.rfind('/') + 1);
    if (label.size() > 6 && label.ends_with(".plist")) label.resize(label.size() - 6);
    std::string target = domain + "/" + label;
    StateLock lock(host);
    auto lines = readLines(host.state("launchd"));
    if (findJob(lines, target) == lines.end()) {
        lines.push_back(target);
        writeLines(host.state("launchd"), lines);
    }
    return 0;
}

}  // namespace

int execTool(const Host& host, const std::string& caller, const Args& words) {
    std::string path = host.path(words[0]);
    std::vector<std::string> local = words;
    local[0] = path;
    std::vector<char*> argv;
    for (auto& word : local) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::cout.flush();
    ::execv(path.c_str(), argv.data());
    int error = errno;
    std::cerr << caller << ": " << words[0] << ": " << std::strerror(error) << '\n';
    return error == ENOENT ? 127 : 126;
}

int runLaunchctl(const Host& host, const Args& args) {
    std::string verb = args.empty() ? "" : args[0];
    if (verb == "asuser") return asUser(host, args);
    if (verb == "bootout" && args.size() == 2) return bootout(host, args[1]);
    if (verb == "bootstrap" && args.size() == 3) return bootstrap(host, args[1], args[2]);
    if (verb == "kickstart" && args.size() == 2) return kickstart(host, args[1]);
    if (verb == "kickstart" && args.size() == 3 && args[1] == "-k") return kickstart(host, args[2]);
    return usage();
}

}  // namespace vesk::hostsim

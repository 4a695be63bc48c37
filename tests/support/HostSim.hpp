#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/hostsim/Host.hpp"

namespace vesk::test {

// A simulated macOS host laid out by vesk-hostsim under a directory: its state read and
// set through the plain text files its tools share (ROOT/hostsim/*, ROOT/calls.log).
class HostSim {
public:
    explicit HostSim(std::string root) : host(std::move(root)) {}

#ifdef VESK_HOSTSIM_PATH
    static HostSim install(const std::string& root) { return install(root, VESK_HOSTSIM_PATH); }
#endif
    // Runs "program install root" and waits for it; throws when it fails.
    static HostSim install(const std::string& root, const std::string& program) {
        std::string command = hostsim::shellQuoted(program) + " install " + hostsim::shellQuoted(root);
        if (std::system(command.c_str()) != 0) throw std::runtime_error(command + " failed");
        return HostSim(root);
    }

    const std::string& root() const { return host.root(); }
    // The local path of a host path ("/usr/bin/open").
    std::string path(const std::string& hostPath) const { return host.path(hostPath); }
    // The console user, as the owner of /dev/console.
    uid_t consoleUid() const {
        struct stat status{};
        if (::stat(path("/dev/console").c_str(), &status) != 0) throw std::runtime_error("no console");
        return status.st_uid;
    }

    // Each tool call: its name and arguments, shell-quoted where needed.
    std::vector<std::string> calls() const { return lines(root() + "/calls.log"); }
    // Emptied in place, so that tools appending go on writing to the file read here.
    void clearCalls() const {
        if (::truncate((root() + "/calls.log").c_str(), 0) != 0) throw std::runtime_error("no calls.log");
    }

    std::vector<hostsim::Service> services() const {
        std::vector<hostsim::Service> found;
        for (const auto& line : lines(state("services"))) found.push_back(hostsim::parseService(line));
        return found;
    }
    void setServices(const std::vector<hostsim::Service>& services) const {
        std::vector<std::string> text;
        for (const auto& service : services) text.push_back(hostsim::serviceLine(service));
        write(state("services"), text);
    }

    // The names of the running processes, one per process.
    std::vector<std::string> processes() const {
        std::vector<std::string> names;
        for (const auto& line : lines(state("processes"))) names.push_back(hostsim::parseProcess(line).name);
        return names;
    }
    void setProcesses(const std::vector<hostsim::Process>& processes) const {
        std::vector<std::string> text;
        for (const auto& process : processes) text.push_back(hostsim::processLine(process));
        write(state("processes"), text);
    }

    // Safari's private-relay preference as "defaults read" prints it.
    void setSafariRelay(const std::string& value) const { write(state("safari-relay"), {value}); }

    void setLaunchdJobs(const std::vector<hostsim::Job>& jobs) const {
        std::vector<std::string> text;
        for (const auto& job : jobs) text.push_back(hostsim::jobLine(job));
        write(state("launchd"), text);
    }

    // Stands for an encrypted resolver installed: the host's own lookups (dscacheutil -q host)
    // then go past the resolver files, the hosts file and the services' servers.
    void installEncryptedResolver() const { write(state("encrypted-dns"), {}); }
    void setHostsFile(const std::vector<std::string>& text) const { write(path("/etc/hosts"), text); }

private:
    std::string state(const std::string& name) const { return host.state(name); }
    static std::vector<std::string> lines(const std::string& file) { return hostsim::readLines(file); }
    // Under the tools' own lock, and whole, so that a tool running meanwhile neither loses
    // this change nor reads half of it.
    void write(const std::string& file, const std::vector<std::string>& text) const {
        hostsim::StateLock lock(host);
        hostsim::writeLines(file, text);
    }

    hostsim::Host host;
};

}  // namespace vesk::test

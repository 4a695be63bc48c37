#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "VeskPlatform/Clock.hpp"
#include "VeskPlatform/ConsoleUser.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "tools/hostsim/Host.hpp"

namespace vesk::test {

// Records every tool the unit under test runs, as "PATH ARG ARG", and answers from a
// script (by default: status 0, no output).
class FakeToolRunner final : public ToolRunner {
public:
    using Script = std::function<Result(const std::string& line)>;

    void script(Script answer) {
        std::lock_guard lock(mutex);
        respond = std::move(answer);
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex);
        return recorded;
    }
    void clear() {
        std::lock_guard lock(mutex);
        recorded.clear();
    }

    int run(const std::string& path, const Args& args) override { return answer(path, args).code; }
    Result capture(const std::string& path, const Args& args, Capture) override { return answer(path, args); }
    bool startDetached(const std::string& path, const Args& args) override { return answer(path, args).code != -1; }

private:
    Result answer(const std::string& path, const Args& args) {
        std::string line = path;
        for (const auto& arg : args) line += " " + hostsim::shellQuoted(arg);
        Script current;
        {
            std::lock_guard lock(mutex);
            recorded.push_back(line);
            current = respond;
        }
        return current ? current(line) : Result{0, ""};
    }

    mutable std::mutex mutex;  // guards recorded and respond
    std::vector<std::string> recorded;
    Script respond;
};

// networksetup over services (name to its -getdnsservers answer), listed in the map's
// order; a set points a service at the filter or, with "Empty", clears it. None: the line is
// for another tool.
inline std::optional<ToolRunner::Result> networksetup(std::map<std::string, std::string>& services,
                                                      const std::string& line) {
    if (line.ends_with("-listnetworkserviceorder")) {
        std::string listing = "An asterisk (*) denotes that a network service is disabled.\n";
        int order = 0;
        for (const auto& entry : services) {
            listing += "(" + std::to_string(++order) + ") " + entry.first + "\n(Hardware Port: " + entry.first + ")\n\n";
        }
        return ToolRunner::Result{0, listing};
    }
    for (auto& [service, servers] : services) {
        if (line.ends_with("-getdnsservers " + hostsim::shellQuoted(service))) return ToolRunner::Result{0, servers};
        if (line.starts_with("/usr/sbin/networksetup -setdnsservers " + hostsim::shellQuoted(service) + " ")) {
            servers = line.ends_with(" Empty") ? "" : "127.0.0.1\n";
            return ToolRunner::Result{0, ""};
        }
    }
    return std::nullopt;
}

// Time that moves only when the test says, or when the unit under test sleeps.
class FakeClock final : public vesk::Clock {
public:
    Wall::time_point wallNow() const override {
        std::lock_guard lock(mutex);
        return Wall::time_point{} + std::chrono::hours(24 * 365 * 56) +
               std::chrono::duration_cast<Wall::duration>(current - Monotonic::time_point{});
    }
    Monotonic::time_point now() const override {
        std::lock_guard lock(mutex);
        return current;
    }
    void sleepFor(Monotonic::duration duration) override {
        std::lock_guard lock(mutex);
        current += duration;
        sleeps.push_back(duration);
    }
    void advance(Monotonic::duration step) {
        std::lock_guard lock(mutex);
        current += step;
    }
    std::vector<Monotonic::duration> slept() const {
        std::lock_guard lock(mutex);
        return sleeps;
    }

private:
    mutable std::mutex mutex;  // guards current and sleeps
    Monotonic::time_point current{std::chrono::hours(1)};
    std::vector<Monotonic::duration> sleeps;
};

// A console user the test sets: none, or an ID with or without a home.
class FakeConsoleUser final : public ConsoleUser {
public:
    std::optional<uid_t> uid;
    // A home that is nowhere, so that nothing real is ever removed.
    std::optional<HostRoot::Account> user = HostRoot::Account{"user1", "/nonexistent/user1"};

    std::optional<uid_t> find() const override { return uid; }
    std::optional<HostRoot::Account> account(uid_t) const override { return user; }
};

}  // namespace vesk::test

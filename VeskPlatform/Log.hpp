#pragma once

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

enum class LogLevel : uint8_t { debug, info, error };

// One delivered log line, as a sink receives it.
struct LogLine {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string text;
};

// Where the logging thread delivers lines. Sinks run on that one thread only, so they
// may block (syslog, a pipe) without ever holding up a caller.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogLine& line) = 0;
};

// Records every line for tests; waitFor polls with a deadline.
class CaptureSink final : public LogSink {
public:
    CaptureSink();
    void write(const LogLine& line) override;
    std::vector<LogLine> lines() const;
    std::vector<std::string> texts() const;
    bool contains(std::string_view text) const;
    // Waits until a line whose text starts with prefix has been delivered.
    bool waitFor(std::string_view prefix, std::chrono::milliseconds timeout) const;
    void clear();

private:
    struct State;
    std::shared_ptr<State> state;
};

#ifndef __APPLE__
// The system log, reached through its socket (normally /dev/log).
std::shared_ptr<LogSink> makeSyslogSink(std::string socketPath);
#endif

// A log handle: subsystem and category, as the platform log has them. Calls format the
// line on the caller's thread into a fixed slot of a lock-free ring and return; a
// background thread hands lines to the sink. When the ring is full the line is dropped
// and counted, so a caller never waits.
class Log {
public:
    Log(std::string_view subsystem, std::string_view category);
    ~Log() = default;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    template <typename... Args>
    void info(fmt::format_string<Args...> format, Args&&... args) const {
        emit(LogLevel::info, format, fmt::make_format_args(args...));
    }
    template <typename... Args>
    void debug(fmt::format_string<Args...> format, Args&&... args) const {
        if (debugEnabled()) emit(LogLevel::debug, format, fmt::make_format_args(args...));
    }
    template <typename... Args>
    void error(fmt::format_string<Args...> format, Args&&... args) const {
        emit(LogLevel::error, format, fmt::make_format_args(args...));
    }

    // The sink chosen by the environment: VESK_LOG=stderr writes to standard error,
    // otherwise the platform log (os_log on Apple, syslog elsewhere). Call once, early.
    static void useDefaultSink();
    static void setSink(std::shared_ptr<LogSink> sink);
    // Replaces the sink with a fresh capture sink and returns it (tests).
    static std::shared_ptr<CaptureSink> capture();
    // Waits until every line logged before the call has reached the sink.
    static void flush();
    // Lines dropped so far because the ring was full.
    static uint64_t dropped();
    static bool debugEnabled();

    const std::string& subsystem() const { return subsystemName; }
    const std::string& category() const { return categoryName; }

private:
    void emit(LogLevel level, fmt::string_view format, fmt::format_args args) const;

    std::string subsystemName;
    std::string categoryName;
    uint16_t id = 0;  // index of (subsystem, category) in the backend's registry
};

}  // namespace vesk

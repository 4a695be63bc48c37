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
    // The lines at hand are all written: a sink that gathers lines puts them out now.
    virtual void drained() {}
};

// A subsystem and category of the log, as the platform log has them. Each subsystem of
// the daemon names its own in namespace LogChannels, once, and every unit logs through it.
struct LogChannel {
    std::string_view subsystem;
    std::string_view category;
};

namespace LogChannels {
inline constexpr std::string_view daemon = "app.quorran.tarnik.dnsd";
// Serial queues and the blocking pool (tasks that failed).
inline constexpr LogChannel queues{daemon, "queues"};
// The logging thread's own lines (lines it had to drop).
inline constexpr LogChannel log{daemon, "log"};
}  // namespace LogChannels

// A log handle on one channel. Calls format the
// line on the caller's thread into a fixed slot of a lock-free ring and return; a
// background thread hands lines to the sink. When the ring is full the line is dropped
// and counted, so a caller never waits.
class Log {
public:
    explicit Log(LogChannel channel);
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
    // Debug lines are formatted only when enabled (VESK_LOG_DEBUG=1 for the default sink).
    static void setDebugEnabled(bool enabled);
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

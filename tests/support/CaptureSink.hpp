#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "VeskPlatform/Log.hpp"

namespace vesk::test {

// Records every delivered line.
class CaptureSink final : public LogSink {
public:
    // Sends every later line here (those logged so far go to the old sink) and returns it.
    static std::shared_ptr<CaptureSink> install() {
        Log::flush();
        auto sink = std::make_shared<CaptureSink>();
        Log::setSink(sink);
        return sink;
    }

    void write(const LogLine& line) override {
        std::lock_guard lock(mutex);
        captured.push_back(line);
        changed.notify_all();
    }
    std::vector<LogLine> lines() const {
        std::lock_guard lock(mutex);
        return captured;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : lines()) out.push_back(line.text);
        return out;
    }
    // Waits until a line whose text starts with prefix has been delivered.
    bool waitFor(std::string_view prefix, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] {
            return std::ranges::any_of(captured, [&](const LogLine& line) { return line.text.starts_with(prefix); });
        });
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<LogLine> captured;
};

}  // namespace vesk::test

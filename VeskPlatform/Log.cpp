#include "Log.hpp"

#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Platform.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <mutex>
#include <thread>

#ifdef __APPLE__
#include <os/log.h>

#include <map>
#endif

namespace vesk {
namespace {

// Distinct (subsystem, category) pairs; a slot refers to its pair by index so that a
// queued line never points into a Log that may have gone away.
class Registry {
public:
    static constexpr size_t capacity = 256;
    struct Entry {
        std::string subsystem;
        std::string category;
    };

    uint16_t idFor(std::string_view subsystem, std::string_view category) {
        std::lock_guard lock(mutex);
        size_t n = count.load(std::memory_order_relaxed);
        for (size_t i = 0; i < n; ++i) {
            if (entries[i].subsystem == subsystem && entries[i].category == category) {
                return static_cast<uint16_t>(i);
            }
        }
        if (n == capacity) return 0;
        entries[n].subsystem = subsystem;
        entries[n].category = category;
        count.store(n + 1, std::memory_order_release);
        return static_cast<uint16_t>(n);
    }
    const Entry& entry(uint16_t id) const { return entries[id]; }

private:
    std::mutex mutex;
    std::atomic<size_t> count{0};
    std::array<Entry, capacity> entries;
};

// Bounded multi-producer ring (Vyukov's sequence-numbered cells), one consumer thread.
class Backend {
public:
    static constexpr size_t slotCount = 8192;
    static constexpr size_t textCapacity = 480;

    static Backend& shared() {
        // Never destroyed: lines logged during exit must not touch a dead object.
        static Backend* backend = new Backend();
        return *backend;
    }

    Registry registry;

    void enqueue(LogLevel level, uint16_t id, fmt::string_view format, fmt::format_args args) {
        size_t pos = enqueuePos.load(std::memory_order_relaxed);
        Slot* slot = nullptr;
        for (;;) {
            slot = &slots[pos & (slotCount - 1)];
            size_t seq = slot->seq.load(std::memory_order_acquire);
            auto diff = static_cast<std::ptrdiff_t>(seq) - static_cast<std::ptrdiff_t>(pos);
            if (diff == 0) {
                if (enqueuePos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) break;
            } else if (diff < 0) {
                droppedLines.fetch_add(1, std::memory_order_relaxed);
                return;
            } else {
                pos = enqueuePos.load(std::memory_order_relaxed);
            }
        }
        slot->level = level;
        slot->id = id;
        try {
            auto result = fmt::vformat_to_n(slot->text, textCapacity, format, args);
            if (result.size > textCapacity) {
                std::memcpy(slot->text + textCapacity - 3, "...", 3);
                slot->length = textCapacity;
            } else {
                slot->length = static_cast<uint16_t>(result.size);
            }
        } catch (...) {
            static constexpr std::string_view bad = "(unformattable log line)";
            std::memcpy(slot->text, bad.data(), bad.size());
            slot->length = static_cast<uint16_t>(bad.size());
        }
        slot->seq.store(pos + 1, std::memory_order_seq_cst);
        if (sleeping.load(std::memory_order_seq_cst)) {
            wake();
        } else if (pos + 1 - delivered.load(std::memory_order_relaxed) >= slotCount / 2) {
            hurry();  // lingering while the ring fills: drain before lines are dropped
        }
    }

    void setSink(std::shared_ptr<LogSink> sink) {
        std::lock_guard lock(sinkMutex);
        currentSink = std::move(sink);
    }

    void flush() {
        size_t target = enqueuePos.load(std::memory_order_acquire);
        hurry();
        std::unique_lock lock(flushMutex);
        wake();
        // Bounded: a sink that hangs must not hang the caller for good.
        flushed.wait_for(lock, std::chrono::seconds(5), [&] {
            return delivered.load(std::memory_order_acquire) >= target;
        });
    }

    uint64_t dropped() const { return droppedLines.load(std::memory_order_relaxed); }

private:
    struct Slot {
        std::atomic<size_t> seq;
        LogLevel level;
        uint16_t id;
        uint16_t length;
        char text[textCapacity];
    };

    Backend() : slots(new Slot[slotCount]) {
        for (size_t i = 0; i < slotCount; ++i) slots[i].seq.store(i, std::memory_order_relaxed);
        std::thread([this] { run(); }).detach();
    }

    bool ready() const {
        const Slot& slot = slots[dequeuePos & (slotCount - 1)];
        return slot.seq.load(std::memory_order_seq_cst) == dequeuePos + 1;
    }

    // Ends the consumer's linger early.
    void hurry() {
        if (hurried.exchange(true)) return;  // already asked
        std::lock_guard lock(lingerMutex);
        lingerEnd.notify_one();
    }
    void wake() {
        epoch.fetch_add(1, std::memory_order_seq_cst);
        epoch.notify_one();
    }

    // Lines count as delivered once the sink has put out what it gathered of them.
    void deliver(LogSink* sink) {
        if (sink) {
            try {
                sink->drained();
            } catch (...) {
            }
        }
        delivered.store(dequeuePos, std::memory_order_release);
    }

    void run() {
        uint64_t reportedDrops = 0;
        LogLine line{};
        for (;;) {
            std::shared_ptr<LogSink> sink;
            {
                std::lock_guard lock(sinkMutex);
                sink = currentSink;
            }
            bool any = false;
            while (ready()) {
                any = true;
                Slot& slot = slots[dequeuePos & (slotCount - 1)];
                const Registry::Entry& entry = registry.entry(slot.id);
                if (sink) {
                    // Filled in place: its strings keep their storage from line to line.
                    line.level = slot.level;
                    line.subsystem.assign(entry.subsystem);
                    line.category.assign(entry.category);
                    line.text.assign(slot.text, slot.length);
                    try {
                        sink->write(line);
                    } catch (...) {
                    }
                }
                slot.seq.store(dequeuePos + slotCount, std::memory_order_release);
                if (++dequeuePos % deliverEvery == 0) deliver(sink.get());
            }
            uint64_t drops = droppedLines.load(std::memory_order_relaxed);
            if (drops != reportedDrops && sink) {
                try {
                    sink->write({LogLevel::error, std::string(LogChannels::log.subsystem),
                                 std::string(LogChannels::log.category),
                                 fmt::format("log ring full: {} lines dropped so far", drops)});
                } catch (...) {
                }
                reportedDrops = drops;
            }
            deliver(sink.get());
            if (any) {
                {
                    std::lock_guard lock(flushMutex);
                    flushed.notify_all();
                }
                // Lines keep coming while the daemon is busy: gather them for a moment
                // rather than being woken for each one. An idle daemon is never woken.
                std::unique_lock lock(lingerMutex);
                lingerEnd.wait_for(lock, linger, [&] { return hurried.load(); });
                hurried = false;
                continue;
            }
            sleeping.store(true, std::memory_order_seq_cst);
            uint32_t seen = epoch.load(std::memory_order_seq_cst);
            if (!ready()) epoch.wait(seen, std::memory_order_seq_cst);
            sleeping.store(false, std::memory_order_seq_cst);
            std::lock_guard lock(flushMutex);
            flushed.notify_all();
        }
    }

    std::unique_ptr<Slot[]> slots;
    alignas(64) std::atomic<size_t> enqueuePos{0};
    alignas(64) size_t dequeuePos = 0;
    std::atomic<size_t> delivered{0};
    std::atomic<uint64_t> droppedLines{0};
    std::atomic<bool> sleeping{false};
    std::atomic<uint32_t> epoch{0};

    std::mutex sinkMutex;
    std::shared_ptr<LogSink> currentSink;
    std::mutex flushMutex;
    std::condition_variable flushed;
    static constexpr auto linger = std::chrono::milliseconds(20);
    static constexpr size_t deliverEvery = 256;
    std::mutex lingerMutex;
    std::condition_variable lingerEnd;
    std::atomic<bool> hurried{false};
};

std::atomic<bool> debugOn{false};

const char* levelName(LogLevel level) {
    switch (level) {
        case LogLevel::debug: return "debug";
        case LogLevel::info: return "info";
        case LogLevel::error: return "error";
    }
    return "info";
}

// Gathers lines into writes of whole lines, PIPE_BUF bytes at most: a write that size is
// never interleaved with another writer's, even into a pipe, and a busy daemon makes one
// system call for dozens of lines rather than one each.
class StderrSink final : public LogSink {
public:
    void write(const LogLine& line) override {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        if (now.tv_sec != stampSecond) {
            tm utc{};
            gmtime_r(&now.tv_sec, &utc);
            std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
            stampSecond = now.tv_sec;
        }
        formatted.clear();
        fmt::format_to(std::back_inserter(formatted), "{}.{:03d}Z {} {}[{}] {}\n", stamp,
                       now.tv_nsec / 1000000, levelName(line.level), line.subsystem, line.category,
                       line.text);
        if (pending.size() + formatted.size() > PIPE_BUF) drained();
        pending += formatted;
        if (pending.size() >= PIPE_BUF) drained();  // one line that long goes alone
    }

    void drained() override {
        if (pending.empty()) return;
        Files::writeAll(STDERR_FILENO, pending);
        pending.clear();
    }

private:
    std::string formatted, pending;
    time_t stampSecond = -1;
    char stamp[32] = {};
};

#ifdef __APPLE__
class OsLogSink final : public LogSink {
public:
    void write(const LogLine& line) override {
        os_log_t& handle = handles[line.subsystem + "\n" + line.category];
        if (handle == nullptr) handle = os_log_create(line.subsystem.c_str(), line.category.c_str());
        // Info lines at the default level: the system keeps those on disk, while its info
        // level lives in memory only and is gone when someone looks.
        os_log_type_t type = line.level == LogLevel::error   ? OS_LOG_TYPE_ERROR
                             : line.level == LogLevel::debug ? OS_LOG_TYPE_DEBUG
                                                             : OS_LOG_TYPE_DEFAULT;
        os_log_with_type(handle, type, "%{public}s", line.text.c_str());
    }

private:
    std::map<std::string, os_log_t> handles;  // touched by the logging thread only
};
#else
// Writes to the system log's socket itself. The C library's syslog() tries to connect
// again for every line while no log daemon listens, four system calls a line; this sink
// tries at most once a second and otherwise drops the line.
class SyslogSink final : public LogSink {
public:
    explicit SyslogSink(std::string socketPath) : path(std::move(socketPath)) {}
    ~SyslogSink() override {
        if (fd >= 0) ::close(fd);
    }

    void write(const LogLine& line) override {
        auto now = std::chrono::steady_clock::now();
        if (fd < 0 && now >= nextAttempt) open(now);
        if (fd < 0) return;
        int severity = line.level == LogLevel::error   ? LOG_ERR
                       : line.level == LogLevel::debug ? LOG_DEBUG
                                                       : LOG_INFO;
        time_t wall = std::time(nullptr);
        tm local{};
        localtime_r(&wall, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%b %e %T", &local);
        std::string message = fmt::format("<{}>{} vesk-dnsd[{}]: {}[{}] {}", LOG_DAEMON | severity,
                                          stamp, pid, line.subsystem, line.category, line.text);
        if (stream) message.push_back('\0');
        if (::send(fd, message.data(), message.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN) {
            // The log daemon went away (or restarted): reconnect later.
            ::close(fd);
            fd = -1;
            nextAttempt = now + std::chrono::seconds(1);
        }
    }

private:
    void open(std::chrono::steady_clock::time_point now) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
            fd = openSocket(AF_UNIX, type, 0);
            if (fd < 0) break;
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                stream = type == SOCK_STREAM;
                return;
            }
            int error = errno;
            ::close(fd);
            fd = -1;
            if (error != EPROTOTYPE) break;  // only a stream socket there: try that
        }
        nextAttempt = now + std::chrono::seconds(1);
    }

    std::string path;
    int fd = -1;
    bool stream = false;
    std::chrono::steady_clock::time_point nextAttempt{};
    const pid_t pid = ::getpid();
};
#endif

}  // namespace

Log::Log(LogChannel channel) : subsystemName(channel.subsystem), categoryName(channel.category) {
    id = Backend::shared().registry.idFor(channel.subsystem, channel.category);
}

void Log::emit(LogLevel level, fmt::string_view format, fmt::format_args args) const {
    Backend::shared().enqueue(level, id, format, args);
}

void Log::useDefaultSink() {
    const char* choice = std::getenv("VESK_LOG");
    const char* debug = std::getenv("VESK_LOG_DEBUG");
    setDebugEnabled(debug != nullptr && std::strcmp(debug, "1") == 0);
    if (choice != nullptr && std::strcmp(choice, "stderr") == 0) {
        setSink(std::make_shared<StderrSink>());
        return;
    }
#ifdef __APPLE__
    setSink(std::make_shared<OsLogSink>());
#else
    setSink(std::make_shared<SyslogSink>("/dev/log"));
#endif
}

void Log::setSink(std::shared_ptr<LogSink> sink) { Backend::shared().setSink(std::move(sink)); }

void Log::setDebugEnabled(bool enabled) { debugOn.store(enabled); }

void Log::flush() { Backend::shared().flush(); }

uint64_t Log::dropped() { return Backend::shared().dropped(); }

bool Log::debugEnabled() { return debugOn.load(std::memory_order_relaxed); }

}  // namespace vesk

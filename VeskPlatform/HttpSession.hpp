#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vesk {

struct HttpRequest {
    std::string method = "GET";  // GET, POST, or any other verb
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;
};

struct HttpResponse {
    long status = -1;  // the HTTP status, or -1 when no whole response came
    std::string body;
    std::string error;  // why, when status is -1
    std::vector<std::string> headers;  // the final answer's header lines, "Name: value"
};

// Where requests are started; the session is the real one, tests script a fake.
class HttpClient {
public:
    using Completion = std::function<void(HttpResponse)>;
    virtual ~HttpClient() = default;
    // Never waits; completion runs exactly once, later or at once.
    virtual void start(HttpRequest request, Completion completion) = 0;
};

// An HTTPS client for the backend: one libcurl multi handle driven by a thread of its
// own. Nothing is kept between requests on disk (no cookies, cache or credentials); TLS
// peer and host verification are always on, against the system's certificate store;
// connections are reused (HTTP/2 where the server offers it, else keep-alive) and capped
// per host. Every request completes exactly once, on the session's thread, with an
// error if need be.
class HttpSession final : public HttpClient {
public:
    struct Limits {
        // A request that receives nothing for this long (connecting included) ends.
        std::chrono::seconds idle{12};
        std::chrono::seconds total{60};
        long connectionsPerHost = 4;
        size_t largestBody = 1 << 20;  // a longer answer ends the request with an error
        // Requests under way at once; the rest wait their turn, holding no transfer state.
        size_t inFlight = 16;
        // How the session's thread gives way to the DNS path: lowered for background
        // work, idle for downloads of many megabytes (see Threads).
        enum class Priority { normal, background, idle } priority = Priority::normal;
        // Follows up to five redirects, to https addresses only.
        bool followRedirects = false;
    };

    explicit HttpSession(Limits limits);
    HttpSession() : HttpSession(Limits{}) {}
    ~HttpSession() override;
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // Never waits. Once the session has shut down, completion runs at once, on the
    // caller's thread, with -1.
    void start(HttpRequest request, Completion completion) override;
    // The same, but the answer's body is written to `file` (created 0600, or emptied; never
    // through a symbolic link) rather than held: for answers too large to hold.
    void startToFile(HttpRequest request, std::string file, Completion completion);
    // Completes what is pending with -1 and stops the thread. Call from outside the
    // session's completions.
    void shutdown();

private:
    struct Transfer;
    struct Driver;

    const Limits limits;
    std::mutex mutex;  // guards incoming and stopping
    std::deque<std::unique_ptr<Transfer>> incoming;
    bool stopping = false;
    std::unique_ptr<Driver> driver;  // the multi handle, used by the worker alone
    std::thread worker;
};

}  // namespace vesk

#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Socket.hpp"

namespace vesk::test {

// A plain HTTP/1.1 server on 127.0.0.1 for the backend's place: keep-alive connections,
// each request answered as the script says, every request and connection recorded.
class HttpServer {
public:
    struct Request {
        std::string method, target, body;
        std::map<std::string, std::string> headers;  // names lower-cased
    };
    struct Reply {
        enum class Kind { respond, hang, cutMidway };
        Reply(Kind how = Kind::respond, int code = 200, std::string text = "", std::chrono::milliseconds wait = {},
              std::vector<std::string> extra = {})
            : kind(how), status(code), body(std::move(text)), delay(wait), headers(std::move(extra)) {}
        Kind kind;
        int status;
        std::string body;
        std::chrono::milliseconds delay;  // before answering
        std::vector<std::string> headers;  // "Name: value", beside the length and type
    };
    using Script = std::function<Reply(const Request&)>;

    // keepRequests false: requests are answered but not kept (a long-running stand-in).
    explicit HttpServer(Script behaviour, bool keepRequests = true)
        : script(std::move(behaviour)), keep(keepRequests), listener(boundSocket(SOCK_STREAM)) {
        if (listener < 0 || ::listen(listener, 128) != 0 || (boundPort = portOf(listener)) == 0) {
            throw std::runtime_error("http server: cannot listen");
        }
        acceptor = std::thread([this] { acceptLoop(); });
    }
    ~HttpServer() {
        stopping = true;
        ::shutdown(listener, SHUT_RDWR);
        acceptor.join();  // the connections are all known now
        for (int fd : open) ::shutdown(fd, SHUT_RDWR);
        for (auto& thread : handlers) thread.join();
        for (int fd : open) ::close(fd);
        ::close(listener);
    }

    uint16_t port() const { return boundPort; }
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(boundPort) + path;
    }
    std::vector<Request> requests() const {
        std::lock_guard lock(mutex);
        return seen;
    }

private:
    void acceptLoop() {
        for (;;) {
            int fd = closeOnExec(::accept(listener, nullptr, nullptr));
            if (fd < 0) return;
            std::lock_guard lock(mutex);
            open.push_back(fd);  // closed by the destructor
            if (stopping) return;
            handlers.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        std::string in;
        char buffer[4096];
        for (;;) {
            // Reads on until the head, and then the body it announces, are in.
            size_t headerEnd = in.find("\r\n\r\n");
            Request request = headerEnd == std::string::npos ? Request{} : parseHead(in.substr(0, headerEnd));
            size_t length = request.headers.count("content-length") ? std::stoul(request.headers["content-length"]) : 0;
            if (headerEnd == std::string::npos || in.size() < headerEnd + 4 + length) {
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                in.append(buffer, static_cast<size_t>(n));
                continue;
            }
            request.body = in.substr(headerEnd + 4, length);
            in.erase(0, headerEnd + 4 + length);
            if (keep) {
                std::lock_guard lock(mutex);
                seen.push_back(request);
            }
            Reply reply = script(request);
            std::this_thread::sleep_for(reply.delay);
            if (reply.kind == Reply::Kind::hang) {
                while (!stopping && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
                }
                return;
            }
            std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Length: " +
                              std::to_string(reply.body.size() + (reply.kind == Reply::Kind::cutMidway ? 100 : 0)) +
                              "\r\nContent-Type: application/json\r\n";
            for (const auto& line : reply.headers) out += line + "\r\n";
            out += "\r\n" + reply.body;
            ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            if (reply.kind == Reply::Kind::cutMidway) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
        }
    }

    static Request parseHead(const std::string& head) {
        Request request;
        std::istringstream lines(head);
        std::string line;
        lines >> request.method >> request.target;
        std::getline(lines, line);  // the version
        while (std::getline(lines, line)) {
            if (line.ends_with('\r')) line.pop_back();
            size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            std::string name = line.substr(0, colon);
            for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            size_t value = line.find_first_not_of(' ', colon + 1);
            request.headers[name] = value == std::string::npos ? "" : line.substr(value);
        }
        return request;
    }

    Script script;
    bool keep = true;
    int listener = -1;
    uint16_t boundPort = 0;
    std::atomic<bool> stopping{false};
    mutable std::mutex mutex;
    std::vector<Request> seen;
    std::vector<int> open;
    std::vector<std::thread> handlers;
    std::thread acceptor;
};

}  // namespace vesk::test

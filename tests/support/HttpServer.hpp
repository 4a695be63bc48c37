#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
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
        enum class Kind { respond, hang, cutMidway } kind = Kind::respond;
        int status = 200;
        std::string body;
        std::chrono::milliseconds delay{0};  // before answering
    };
    using Script = std::function<Reply(const Request&)>;

    // keepRequests false: requests are answered but not kept (a long-running stand-in).
    explicit HttpServer(Script behaviour, bool keepRequests = true)
        : script(std::move(behaviour)), keep(keepRequests) {
        listener = boundSocket(SOCK_STREAM);
        if (listener < 0 || ::listen(listener, 128) != 0 || (boundPort = portOf(listener)) == 0) {
            throw std::runtime_error("http server: cannot listen");
        }
        acceptor = std::thread([this] { acceptLoop(); });
    }
    ~HttpServer() {
        stopping = true;
        ::shutdown(listener, SHUT_RDWR);
        acceptor.join();
        {
            std::lock_guard lock(mutex);
            for (int fd : open) ::shutdown(fd, SHUT_RDWR);
        }
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
            if (stopping) {
                ::close(fd);
                return;
            }
            std::lock_guard lock(mutex);
            open.push_back(fd);
            handlers.emplace_back([this, fd] { serve(fd); });
        }
    }

    void serve(int fd) {
        std::string in;
        char buffer[4096];
        for (;;) {
            size_t headerEnd;
            while ((headerEnd = in.find("\r\n\r\n")) == std::string::npos) {
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                in.append(buffer, static_cast<size_t>(n));
            }
            Request request = parseHead(in.substr(0, headerEnd));
            size_t length = request.headers.count("content-length") ? std::stoul(request.headers["content-length"]) : 0;
            while (in.size() < headerEnd + 4 + length) {
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                in.append(buffer, static_cast<size_t>(n));
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
                              "\r\nContent-Type: application/json\r\n\r\n" + reply.body;
            ::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
            if (reply.kind == Reply::Kind::cutMidway) {
                ::shutdown(fd, SHUT_RDWR);
                return;
            }
        }
    }

    static Request parseHead(const std::string& head) {
        Request request;
        size_t lineEnd = head.find("\r\n");
        std::string first = head.substr(0, lineEnd);
        size_t space = first.find(' ');
        request.method = first.substr(0, space);
        request.target = first.substr(space + 1, first.rfind(' ') - space - 1);
        for (size_t at = lineEnd; at != std::string::npos && at < head.size();) {
            size_t next = head.find("\r\n", at + 2);
            std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                size_t value = line.find_first_not_of(' ', colon + 1);
                request.headers[name] = value == std::string::npos ? "" : line.substr(value);
            }
            at = next;
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

// A stand-in for the accountability backend on 127.0.0.1, for bench/dns-throughput: the
// token endpoint hands out an access token, the ingest endpoint answers 200 and counts,
// and GET /count tells how many alerts came. With --hang (for bench/control-api) it
// answers nothing at all, as a backend that is down behind a live port. Prints its port,
// then serves until killed.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "tests/support/HttpServer.hpp"

int main(int argc, char** argv) {
    using vesk::test::HttpServer;
    using Kind = HttpServer::Reply::Kind;
    bool hang = argc > 1 && std::string(argv[1]) == "--hang";
    std::atomic<long> alerts{0};
    HttpServer backend([&](const HttpServer::Request& request) {
        if (hang) return HttpServer::Reply{Kind::hang};
        if (request.target.find("/auth/") == 0) {
            return HttpServer::Reply{{}, 200, R"({"access_token":"A","refresh_token":"R","expires_in":3600})"};
        }
        if (request.method == "GET") return HttpServer::Reply{Kind::respond, 200, std::to_string(alerts.load())};
        ++alerts;
        return HttpServer::Reply{};
    }, /*keepRequests=*/false);
    std::printf("%u\n", backend.port());
    std::fflush(stdout);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int received = 0;
    sigwait(&stop, &received);
    return 0;
}

// What reporting a block costs the DNS path: reportBlock on a configured reporter whose
// backend answers on loopback. Each iteration reports a batch (below the pending-alert
// cap, so every call takes the queueing path, not the drop path), timed on the caller's
// thread alone, then waits untimed for the backend to have every alert.
//
//   build/bench/alerts-bench [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>

#include <chrono>

#include "VeskAlerts/AlertReporter.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/TempDir.hpp"

namespace {

using namespace std::chrono_literals;
using vesk::test::HttpServer;

constexpr int batch = 500;

void reportBlock(benchmark::State& state) {
    HttpServer backend([](const HttpServer::Request& request) {
        if (request.target.find("/auth/") == 0) {
            return HttpServer::Reply{HttpServer::Reply::Kind::respond, 200,
                                     R"({"access_token":"A","refresh_token":"R","expires_in":3600})", 0ms};
        }
        return HttpServer::Reply{HttpServer::Reply::Kind::respond, 200, "", 0ms};
    });
    vesk::test::TempDir dir;
    vesk::HttpSession http;
    vesk::SerialQueue tokenQ("bench.token");
    auto reporter = vesk::AlertReporter::create(
        {backend.url("/"), "anon", dir.write("token", "R"), "MACOS", 3}, {http, tokenQ});
    size_t expected = 1;  // the token request
    auto delivered = [&] { return backend.requests().size() >= expected; };
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < batch; ++i) reporter->reportBlock("adult", std::chrono::system_clock::now());
        auto elapsed = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count() / batch);
        expected += batch;
        vesk::test::waitUntil(delivered, 60s);
    }
    state.counters["delivered"] = static_cast<double>(backend.requests().size() - 1);
}
BENCHMARK(reportBlock)->UseManualTime()->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true)
    ->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();

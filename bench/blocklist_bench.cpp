// Loads a large blocklist into Blocklist and into a std::unordered_set<std::string> (the
// baseline) and compares build time, memory held and lookup time, each measured in a
// fresh child process so that neither run inherits the other's heap. Then converts the
// list, written as a hosts file, back to the list form with ListConverter and with a plain
// iostream converter (the baseline), file to file.
//
//   build/bench/blocklist-bench [LIST] [RUNS]
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

#include "VeskDNSCore/Blocklist.hpp"
#include "VeskLists/ListConverter.hpp"
#include "VeskPlatform/Files.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    double buildSeconds = 0;
    double heldBytes = 0;
    double containsNanos = 0;      // median over batches, names drawn from the whole list
    double containsWarmNanos = 0;  // the same over a hot set of 1,000 names
    double structureBytes = 0;
    double scanMillis = 0;  // whether any name lies under a domain none does: a whole scan
    size_t count = 0;
};

// A domain of the kind a container runtime's resolver file names: nothing on the list is
// under it, so the tamper watch's question reads every name.
constexpr std::string_view unlistedDomain = "docker.internal";

bool under(std::string_view name, std::string_view domain) {
    return name.ends_with(domain) && (name.size() == domain.size() || name[name.size() - domain.size() - 1] == '.');
}

size_t residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Exact hits, hits through the parent walk and misses, a third each, shuffled.
std::vector<std::string> queryMix(const std::string& path, size_t count) {
    std::vector<std::string> names;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) names.push_back(line);
    }
    std::mt19937_64 random(42);
    std::vector<std::string> mix;
    mix.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const std::string& name = names[random() % names.size()];
        switch (i % 3) {
            case 0: mix.push_back(name); break;
            case 1: mix.push_back("cdn.www." + name); break;
            default: mix.push_back("zq" + name); break;
        }
    }
    std::shuffle(mix.begin(), mix.end(), random);
    return mix;
}

// A resolver's traffic is mostly a small hot set of names: 1,000 of the mix, repeated.
std::vector<std::string> hotSet(const std::vector<std::string>& queries) {
    std::vector<std::string> hot;
    for (size_t i = 0; i < 100; ++i) hot.insert(hot.end(), queries.begin(), queries.begin() + 1000);
    return hot;
}

template <typename Lookup>
double medianNanos(const std::vector<std::string>& queries, Lookup&& lookup, size_t& hits) {
    constexpr size_t batch = 1000;
    std::vector<double> perCall;
    for (size_t start = 0; start + batch <= queries.size(); start += batch) {
        auto t0 = Clock::now();
        for (size_t i = start; i < start + batch; ++i) hits += lookup(queries[i]) ? 1 : 0;
        perCall.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count() /
                          batch);
    }
    std::nth_element(perCall.begin(), perCall.begin() + static_cast<std::ptrdiff_t>(perCall.size() / 2),
                     perCall.end());
    return perCall[perCall.size() / 2];
}

bool baselineContains(const std::unordered_set<std::string>& set, const std::string& name) {
    if (set.count(name)) return true;
    for (size_t dot = name.find('.'); dot != std::string::npos; dot = name.find('.', dot + 1)) {
        std::string parent = name.substr(dot + 1);
        if (parent.find('.') == std::string::npos) break;
        if (set.count(parent)) return true;
    }
    return false;
}

Result runBaseline(const std::string& path, const std::vector<std::string>& queries) {
    Result r;
    malloc_trim(0);
    size_t before = residentBytes();
    auto t0 = Clock::now();
    std::unordered_set<std::string> set;
    {
        auto text = vesk::Files::readAll(path).value_or("");
        std::string_view rest = text;
        while (!rest.empty()) {
            size_t end = std::min(rest.find('\n'), rest.size());
            if (end > 0) set.emplace(rest.substr(0, end));
            rest.remove_prefix(std::min(end + 1, rest.size()));
        }
    }
    r.buildSeconds = seconds(Clock::now() - t0);
    malloc_trim(0);
    r.heldBytes = static_cast<double>(residentBytes() - before);
    r.count = set.size();
    size_t hits = 0;
    auto lookup = [&](const std::string& q) { return baselineContains(set, q); };
    r.containsNanos = medianNanos(queries, lookup, hits);
    r.containsWarmNanos = medianNanos(hotSet(queries), lookup, hits);
    std::fprintf(stderr, "baseline hits: %zu\n", hits);
    auto t1 = Clock::now();
    bool found = std::any_of(set.begin(), set.end(), [](const std::string& name) { return under(name, unlistedDomain); });
    r.scanMillis = seconds(Clock::now() - t1) * 1e3 + (found ? 1e9 : 0);
    return r;
}

Result runBlocklist(const std::string& path, const std::vector<std::string>& queries) {
    Result r;
    malloc_trim(0);
    size_t before = residentBytes();
    auto t0 = Clock::now();
    vesk::Blocklist list(path);
    r.buildSeconds = seconds(Clock::now() - t0);
    malloc_trim(0);
    r.heldBytes = static_cast<double>(residentBytes() - before);
    r.structureBytes = static_cast<double>(list.bytesHeld());
    r.count = list.count();
    size_t hits = 0;
    auto lookup = [&](const std::string& q) { return list.contains(vesk::DomainName(q)); };
    r.containsNanos = medianNanos(queries, lookup, hits);
    r.containsWarmNanos = medianNanos(hotSet(queries), lookup, hits);
    std::fprintf(stderr, "blocklist hits: %zu\n", hits);
    auto t1 = Clock::now();
    bool found = list.listsAtOrUnder(vesk::DomainName(unlistedDomain));
    r.scanMillis = seconds(Clock::now() - t1) * 1e3 + (found ? 1e9 : 0);
    return r;
}

// Runs one measurement in a child process and reads its result back through a pipe.
template <typename Run>
Result inChild(Run&& run) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(1);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Result r = run();
        if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    Result r;
    if (read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) std::exit(1);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return r;
}

Result median(std::vector<Result> runs) {
    auto mid = [&](auto field) {
        std::vector<double> v;
        for (const auto& r : runs) v.push_back(r.*field);
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Result m = runs.front();
    m.buildSeconds = mid(&Result::buildSeconds);
    m.heldBytes = mid(&Result::heldBytes);
    m.containsNanos = mid(&Result::containsNanos);
    m.containsWarmNanos = mid(&Result::containsWarmNanos);
    m.scanMillis = mid(&Result::scanMillis);
    return m;
}

// What a straightforward converter does: a line at a time, words by stream extraction,
// the names after an address of the hosts file written out lower-cased.
size_t naiveConvert(const std::string& from, const std::string& to) {
    std::ifstream in(from);
    std::ofstream out(to);
    size_t names = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string address, name;
        if (!(words >> address)) continue;
        while (words >> name) {
            for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            out << name << '\n';
            ++names;
        }
    }
    return names;
}

// Median seconds of `runs` conversions of the list written as a hosts file, ours and the
// baseline's, and the names each wrote.
struct Conversion {
    double ours = 0, baseline = 0;
    size_t names = 0, baselineNames = 0;
};

Conversion convertHostsFile(const std::string& path, int runs) {
    char directory[] = "/tmp/vesk-bench-XXXXXX";
    if (mkdtemp(directory) == nullptr) std::exit(1);
    std::string hosts = std::string(directory) + "/hosts", converted = std::string(directory) + "/list";
    {
        std::ifstream in(path);
        std::ofstream out(hosts);
        for (std::string line; std::getline(in, line);) out << "0.0.0.0 " << line << '\n';
    }
    Conversion c;
    std::vector<double> ours, baseline;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        vesk::ListConverter::Counts counts;
        if (!vesk::ListConverter::convertFile(hosts, converted, counts).empty()) std::exit(1);
        auto t1 = Clock::now();
        c.baselineNames = naiveConvert(hosts, converted);
        ours.push_back(seconds(t1 - t0));
        baseline.push_back(seconds(Clock::now() - t1));
        c.names = counts.names;
    }
    std::sort(ours.begin(), ours.end());
    std::sort(baseline.begin(), baseline.end());
    c.ours = ours[ours.size() / 2];
    c.baseline = baseline[baseline.size() / 2];
    std::remove(hosts.c_str());
    std::remove(converted.c_str());
    rmdir(directory);
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    std::string path = argc > 1 ? argv[1] : VESK_DEFAULT_LIST;
    int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    if (!vesk::Files::readAll(path)) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 2;
    }
    auto queries = queryMix(path, 300000);
    std::vector<Result> base, ours;
    for (int i = 0; i < runs; ++i) {
        base.push_back(inChild([&] { return runBaseline(path, queries); }));
        ours.push_back(inChild([&] { return runBlocklist(path, queries); }));
    }
    Result b = median(base), o = median(ours);
    const double mb = 1e6;
    std::printf("blocklist: %s, %zu names (baseline %zu), median of %d runs\n", path.c_str(), o.count,
                b.count, runs);
    std::printf("%-24s %9s %9s %11s %16s %16s\n", "", "build s", "held MB", "bytes/name",
                "contains ns all", "contains ns hot");
    std::printf("%-24s %9.3f %9.1f %11.1f %16.1f %16.1f\n", "unordered_set<string>",
                b.buildSeconds, b.heldBytes / mb, b.heldBytes / static_cast<double>(b.count),
                b.containsNanos, b.containsWarmNanos);
    std::printf("%-24s %9.3f %9.1f %11.1f %16.1f %16.1f\n", "Blocklist", o.buildSeconds,
                o.heldBytes / mb, o.heldBytes / static_cast<double>(o.count), o.containsNanos,
                o.containsWarmNanos);
    std::printf("%-24s %9.3f %9.3f %11s %16.3f %16.3f\n", "ratio (ours/baseline)",
                o.buildSeconds / b.buildSeconds, o.heldBytes / b.heldBytes, "",
                o.containsNanos / b.containsNanos, o.containsWarmNanos / b.containsWarmNanos);
    std::printf("Blocklist structure: %.1f MB (%.1f bytes/name)\n", o.structureBytes / mb,
                o.structureBytes / static_cast<double>(o.count));
    std::printf("names under %s (a whole scan, asked once per resolver file): %.1f ms, baseline %.1f ms, "
                "ratio %.3f\n",
                std::string(unlistedDomain).c_str(), o.scanMillis, b.scanMillis, o.scanMillis / b.scanMillis);
    auto verdict = [](bool ok) { return ok ? "met" : "MISSED"; };
    std::printf("targets: build <= 0.25 s: %s; build <= 1/3 baseline: %s; memory <= 1/3 baseline: "
                "%s; contains median <= 100 ns: %s (whole list), %s (hot set)\n",
                verdict(o.buildSeconds <= 0.25), verdict(o.buildSeconds * 3 <= b.buildSeconds),
                verdict(o.heldBytes * 3 <= b.heldBytes), verdict(o.containsNanos <= 100),
                verdict(o.containsWarmNanos <= 100));
    Conversion c = convertHostsFile(path, runs);
    double perMillion = c.ours * 1e6 / static_cast<double>(std::max<size_t>(c.names, 1));
    std::printf("hosts file to list: %zu names in %.3f s (%.3f s per million), baseline %zu names in %.3f s, "
                "ratio %.3f; target <= 0.5 s per million: %s\n",
                c.names, c.ours, perMillion, c.baselineNames, c.baseline, c.ours / c.baseline,
                verdict(perMillion <= 0.5));
    return 0;
}

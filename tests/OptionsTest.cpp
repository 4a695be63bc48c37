#include "vesk_dnsd/Options.hpp"

#include <gtest/gtest.h>

namespace vesk {
namespace {

struct Parsed {
    Settings settings;
    std::vector<std::string> lines;
};

Parsed parse(std::vector<std::string> args) {
    Parsed out;
    out.settings = parseArguments(args, [&](const std::string& line) { out.lines.push_back(line); });
    return out;
}

TEST(Options, DefaultsAndEveryOption) {
    auto none = parse({});
    EXPECT_EQ(none.settings.host, "127.0.0.1");
    EXPECT_EQ(none.settings.port, 53);
    EXPECT_FALSE(none.settings.upstreams);
    EXPECT_TRUE(none.lines.empty());

    auto all = parse({"--blocklist", "lists/adult.txt", "--host", "10.0.0.1", "--port", "5300",
                      "--supabase-url", "https://x.example", "--anon-key", "k",
                      "--alerts-token-file", "/t", "--source-platform", "MAC", "--control-port",
                      "6000", "--pin-file", "/p", "--upstreams", "127.0.0.1:5399"});
    EXPECT_EQ(all.settings.blocklistPath, "lists/adult.txt");
    EXPECT_EQ(all.settings.host, "10.0.0.1");
    EXPECT_EQ(all.settings.port, 5300);
    EXPECT_EQ(all.settings.supabaseURL, "https://x.example");
    EXPECT_EQ(all.settings.anonKey, "k");
    EXPECT_EQ(all.settings.alertsTokenFile, "/t");
    EXPECT_EQ(all.settings.sourcePlatform, "MAC");
    EXPECT_EQ(all.settings.controlPort, 6000);
    EXPECT_EQ(all.settings.pinFile, "/p");
    EXPECT_EQ(all.settings.upstreams, std::vector<UpstreamAddress>({{"127.0.0.1", 5399}}));
    EXPECT_TRUE(all.lines.empty());
}

TEST(Options, ValuesOrderAndUnknownArguments) {
    auto p = parse({"--host", "--port", "--port", "1", "--Port", "9", "-v", "--port", "2", "--port"});
    EXPECT_EQ(p.settings.host, "--port");  // a value is never taken for an option
    EXPECT_EQ(p.settings.port, 2);         // the last occurrence wins; a trailing one is ignored
    EXPECT_EQ(p.lines, std::vector<std::string>({"vesk-dnsd: ignoring unknown arg --Port",
                                                 "vesk-dnsd: ignoring unknown arg 9",
                                                 "vesk-dnsd: ignoring unknown arg -v"}));
}

TEST(Options, PortValues) {
    const std::pair<const char*, std::optional<uint16_t>> cases[] = {
        {"5353", 5353}, {"+5353", 5353}, {"0053", 53}, {"65535", 65535}, {"0", 0},
        {"-0", 0},      {"-000", 0},     {"-1", {}},   {"65536", {}},    {"70000", {}},
        {"abc", {}},    {"", {}},        {"+", {}},    {"-", {}},        {" 53", {}},
        {"53 ", {}},    {"5e3", {}},     {"99999999999999999999", {}},
    };
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(parsePort(text), want) << text;
        auto p = parse({"--port", "7", "--port", text});
        EXPECT_EQ(p.settings.port, want.value_or(7)) << text;  // a bad value keeps the last good one
    }
}

TEST(Options, UpstreamLists) {
    using L = std::vector<UpstreamAddress>;
    const std::pair<const char*, std::optional<L>> cases[] = {
        {"127.0.0.1", L{{"127.0.0.1", 53}}},
        {"127.0.0.1:5399,127.0.0.2,127.0.0.3:1", L{{"127.0.0.1", 5399}, {"127.0.0.2", 53}, {"127.0.0.3", 1}}},
        {"", {}},
        {"127.0.0.1,", {}},
        {"localhost", {}},
        {"127.0.0.1:0", {}},
        {"127.0.0.1:70000", {}},
        {"127.0.0.1:", {}},
        {"127.0.0.1:+53", {}},
        {"::1", {}},
        {"256.0.0.1", {}},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(parseUpstreams(text), want) << text;

    auto bad = parse({"--upstreams", "127.0.0.1:5399", "--upstreams", "nope,127.0.0.1"});
    EXPECT_EQ(bad.settings.upstreams, L({{"127.0.0.1", 5399}}));
    EXPECT_EQ(bad.lines, std::vector<std::string>(
                             {"vesk-dnsd: ignoring bad --upstreams value nope,127.0.0.1"}));
}

}  // namespace
}  // namespace vesk

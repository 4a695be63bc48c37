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
    EXPECT_EQ(none.settings.host + ":" + std::to_string(none.settings.port), "127.0.0.1:53");
    EXPECT_FALSE(none.settings.upstreams);
    EXPECT_TRUE(none.lines.empty());

    auto all = parse({"--blocklist", "lists/adult.txt", "--host", "10.0.0.1", "--port", "5300",
                      "--supabase-url", "https://x.example", "--anon-key", "k",
                      "--alerts-token-file", "/t", "--source-platform", "MAC", "--control-port",
                      "6000", "--pin-file", "/p", "--upstreams", "127.0.0.1:5399"});
    const Settings& s = all.settings;
    EXPECT_EQ(std::vector<std::string>({s.blocklistPath, s.host, std::to_string(s.port), *s.supabaseURL,
                                        *s.anonKey, *s.alertsTokenFile, s.sourcePlatform,
                                        std::to_string(s.controlPort), s.pinFile}),
              std::vector<std::string>({"lists/adult.txt", "10.0.0.1", "5300", "https://x.example", "k",
                                        "/t", "MAC", "6000", "/p"}));
    EXPECT_EQ(s.upstreams, std::vector<UpstreamAddress>({{"127.0.0.1", 5399}}));
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
        {"+5353", 5353}, {"65535", 65535}, {"0", 0},   {"-0", 0},  {"-1", {}},  {"65536", {}},
        {"", {}},        {"+", {}},        {" 53", {}}, {"5e3", {}}, {"99999999999999999999", {}},
    };
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(parsePort(text), want) << text;
        for (std::string option : {"--port", "--control-port"}) {
            auto p = parse({option, "7", option, text});
            // A bad value is reported and the last good one stays.
            EXPECT_EQ(option == "--port" ? p.settings.port : p.settings.controlPort, want.value_or(7))
                << text;
            EXPECT_EQ(p.lines, want ? std::vector<std::string>{}
                                    : std::vector<std::string>{"vesk-dnsd: ignoring bad " + option +
                                                               " value " + text});
        }
    }
}

TEST(Options, HelpAndVersionNeedNoValue) {
    using Request = Settings::Request;
    const std::pair<std::vector<std::string>, Request> cases[] = {
        {{}, Request::serve},
        {{"--version"}, Request::version},
        {{"--help", "--version"}, Request::help},
        {{"--version", "--help"}, Request::help},
        {{"--host", "--help"}, Request::serve},  // a value, not an option
    };
    for (const auto& [args, want] : cases) {
        EXPECT_EQ(parse(args).settings.request, want) << ::testing::PrintToString(args);
    }
}

}  // namespace
}  // namespace vesk

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

// (The daemon's own tests start it with the other options.)
TEST(Options, ValuesOrderAndUnknownArguments) {
    auto p = parse({"--source-platform", "MAC", "--pin-file", "/p", "--upstreams", "127.0.0.1:5399,10.0.0.1", "--host",
                    "--port", "--port", "1", "--Port", "9", "-v", "--port", "2", "--port"});
    EXPECT_EQ(p.settings.sourcePlatform + " " + p.settings.pinFile, "MAC /p");
    EXPECT_EQ(p.settings.upstreams, std::vector<UpstreamAddress>({{"127.0.0.1", 5399}, {"10.0.0.1", 53}}));
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
    // (That a bad value is reported and the last good one stays is seen starting the daemon.)
    for (const auto& [text, want] : cases) EXPECT_EQ(parsePort(text), want) << text;
}

TEST(Options, HelpAndVersionNeedNoValue) {
    using Request = Settings::Request;
    const std::pair<std::vector<std::string>, Request> cases[] = {
        {{"--version"}, Request::version},
        {{"--version", "--help"}, Request::help},
        {{"--help", "--version"}, Request::help},  // help wins, whatever the order
        {{"--host", "--help"}, Request::serve},     // a value, not an option
    };
    for (const auto& [args, want] : cases) {
        EXPECT_EQ(parse(args).settings.request, want) << testing::PrintToString(args);
    }
}

}  // namespace
}  // namespace vesk

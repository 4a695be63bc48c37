#include "vesk_dnsd/Options.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "VeskPlatform/ExecutablePath.hpp"

namespace vesk {
namespace {

// The settings, and the lines written to standard error.
std::pair<Settings, std::vector<std::string>> parse(const std::vector<std::string>& args) {
    std::vector<std::string> lines;
    Settings settings = parseArguments(args, [&](const std::string& line) { lines.push_back(line); });
    return {settings, lines};
}

// (The daemon's own tests start it with the other options, and an unknown one.)
TEST(Options, ValuesOrderAndUnknownArguments) {
    auto [settings, lines] = parse({"--source-platform", "MAC", "--pin-file", "/p", "--upstreams",
                                    "127.0.0.1:5399,10.0.0.1", "--port", "1", "--Port", "9", "--port", "2", "--port"});
    EXPECT_EQ(settings.sourcePlatform + " " + settings.pinFile, "MAC /p");
    EXPECT_EQ(settings.upstreams, std::vector<UpstreamAddress>({{"127.0.0.1", 5399}, {"10.0.0.1", 53}}));
    EXPECT_EQ(settings.port, 2);  // the last occurrence wins; a trailing one is ignored
    EXPECT_EQ(lines, std::vector<std::string>({"vesk-dnsd: ignoring unknown arg --Port",
                                               "vesk-dnsd: ignoring unknown arg 9"}));
}

TEST(Options, PortValues) {
    const std::pair<const char*, std::optional<uint16_t>> cases[] = {
        {"+5353", 5353}, {"65535", 65535}, {"0", 0},   {"-0", 0},  {"-1", {}},  {"65536", {}},
        {"", {}},        {"+", {}},        {" 53", {}}, {"5e3", {}}, {"99999999999999999999", {}},
    };
    // (That a bad value is reported and the last good one stays is seen starting the daemon.)
    for (const auto& [text, want] : cases) EXPECT_EQ(parsePort(text), want) << text;
}

// A list is fetched over https, or in clear text only from this machine; a bad one is
// reported and the last good value stays.
TEST(Options, ListUrlsAndRefreshHours) {
    using Urls = std::optional<std::vector<std::string>>;
    const std::pair<const char*, Urls> urls[] = {
        {"https://lists.example/a,http://127.0.0.1:8080/b,https://lists.example/a",
         std::vector<std::string>{"https://lists.example/a", "http://127.0.0.1:8080/b"}},
        {"http://[::1]/x,http://localhost/y", std::vector<std::string>{"http://[::1]/x", "http://localhost/y"}},
        {"", std::vector<std::string>{}},
        {"http://lists.example/a", {}}, {"https://a.example/x,ftp://127.0.0.1/y", {}}, {"HTTPS://a.example/", {}},
        {"https://a.example/,", {}}, {"/etc/list.txt", {}},
    };
    for (const auto& [text, want] : urls) EXPECT_EQ(parseListUrls(text), want) << text;
    const std::pair<const char*, std::optional<double>> hours[] = {
        {"24", 24.0}, {"0.5", 0.5}, {"8784", 8784.0}, {"0", {}}, {"-1", {}}, {"8785", {}}, {"1e3", {}}, {"", {}},
        {"nan", {}}, {"1.2.3", {}}};
    for (const auto& [text, want] : hours) EXPECT_EQ(parseHours(text), want) << text;
    auto [settings, lines] = parse({"--blocklist-urls", "https://a.example/l", "--blocklist-urls", "http://b.example/",
                                    "--blocklist-refresh", "0"});
    EXPECT_EQ(settings.blocklistUrls, std::vector<std::string>{"https://a.example/l"});
    EXPECT_EQ(settings.blocklistRefreshHours, 24.0);
    EXPECT_EQ(lines, std::vector<std::string>({"vesk-dnsd: ignoring bad --blocklist-urls value http://b.example/",
                                               "vesk-dnsd: ignoring bad --blocklist-refresh value 0"}));
}

TEST(Options, HelpAndVersionNeedNoValue) {
    const std::pair<std::vector<std::string>, Settings::Request> cases[] = {
        {{"--version"}, Settings::Request::version},
        {{"--version", "--help"}, Settings::Request::help},
        {{"--help", "--version"}, Settings::Request::help},  // help wins, whatever the order
        {{"--host", "--help"}, Settings::Request::serve},     // a value, never taken for an option
    };
    for (const auto& [args, want] : cases) EXPECT_EQ(parse(args).first.request, want) << testing::PrintToString(args);
}

// Where the daemon looks for a list given by a path relative to its own directory.
TEST(ExecutablePath, PathComponents) {
    const std::pair<const char*, const char*> parents[] = {
        {"/usr/local/bin/vesk-dnsd", "/usr/local/bin"}, {"/vesk-dnsd", "/"}, {"vesk-dnsd", ""}, {"/a/b/", "/a"}};
    for (auto [path, parent] : parents) EXPECT_EQ(ExecutablePath::deletingLastComponent(path), parent) << path;
    const std::array<const char*, 3> resolved[] = {{"/etc/list.txt", "/opt", "/etc/list.txt"},
                                                   {"lists/adult.txt", "/opt/vesk/", "/opt/vesk/lists/adult.txt"},
                                                   {"x", "/", "/x"}, {"x", "", "x"}};
    for (auto [path, base, want] : resolved) EXPECT_EQ(ExecutablePath::resolve(path, base), want) << path << base;
}

TEST(ExecutablePath, DirectoryIsThatOfThisBinaryWhateverTheCurrentDirectory) {
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path("/");
    std::string directory = ExecutablePath::directory();
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(std::filesystem::exists(directory + "/vesk_tests")) << directory;
}

}  // namespace
}  // namespace vesk

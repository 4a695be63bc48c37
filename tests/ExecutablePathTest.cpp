#include "VeskPlatform/ExecutablePath.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace vesk {
namespace {

TEST(ExecutablePath, PathComponents) {
    using ExecutablePath::appendingComponent;
    using ExecutablePath::deletingLastComponent;
    EXPECT_EQ(deletingLastComponent("/usr/local/bin/vesk-dnsd"), "/usr/local/bin");
    EXPECT_EQ(deletingLastComponent("/vesk-dnsd"), "/");
    EXPECT_EQ(deletingLastComponent("vesk-dnsd"), "");
    EXPECT_EQ(deletingLastComponent("/a/b/"), "/a");
    EXPECT_EQ(appendingComponent("/opt/vesk/", "x"), "/opt/vesk/x");
    EXPECT_EQ(appendingComponent("/", "x"), "/x");
    EXPECT_EQ(appendingComponent("", "x"), "x");
    EXPECT_EQ(ExecutablePath::resolve("/etc/list.txt", "/opt"), "/etc/list.txt");
    EXPECT_EQ(ExecutablePath::resolve("lists/adult.txt", "/opt/vesk"), "/opt/vesk/lists/adult.txt");
}

TEST(ExecutablePath, DirectoryIsThatOfThisBinaryWhateverTheCurrentDirectory) {
    std::string before = ExecutablePath::directory();
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path("/");
    EXPECT_EQ(ExecutablePath::directory(), before);
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(std::filesystem::exists(before + "/vesk_tests")) << before;
}

}  // namespace
}  // namespace vesk

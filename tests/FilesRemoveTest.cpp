#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "VeskPlatform/Files.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;

// A home with a cache tree, and a directory elsewhere that the links planted in the home
// point at: none of it may go.
TEST(FilesRemoveTest, RemovesATreeButNeverWhatALinkOrAClimbLeadsTo) {
    TempDir dir;
    std::string home = dir.path() + "/home", outside = dir.path() + "/system";
    fs::create_directories(home + "/Library/Caches/App/deep");
    fs::create_directories(outside + "/Caches/App");
    std::ofstream(outside + "/Caches/App/precious") << "keep";
    fs::create_symlink(outside, home + "/Library/Caches/App/deep/link");
    fs::create_symlink(outside + "/Caches/App/precious", home + "/Library/Caches/App/file-link");
    fs::create_symlink(outside, home + "/Library/Linked");
    fs::create_symlink(outside, home + "/Library/End");

    for (const char* path : {"Library/../../system", "../system", "/Library/Caches", "", "Library/Caches/None",
                             "Library/Linked/Caches/App"}) {
        EXPECT_FALSE(Files::removeBeneath(home, path)) << path;
    }
    EXPECT_TRUE(Files::removeBeneath(home, "Library/Caches/App"));
    EXPECT_TRUE(Files::removeBeneath(home, "Library/End"));  // the link itself goes
    EXPECT_FALSE(fs::exists(home + "/Library/Caches/App"));
    EXPECT_FALSE(fs::is_symlink(home + "/Library/End"));
    EXPECT_TRUE(fs::exists(home + "/Library/Caches"));
    EXPECT_TRUE(fs::exists(outside + "/Caches/App/precious"));
}

}  // namespace
}  // namespace vesk::test

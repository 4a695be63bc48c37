#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "VeskPlatform/Files.hpp"
#include "tests/support/TempDir.hpp"

namespace vesk::test {
namespace {

namespace fs = std::filesystem;

// A home with a cache tree, and a directory elsewhere that a planted link points at.
struct Tree {
    TempDir dir;
    std::string home = dir.path() + "/home";
    std::string outside = dir.path() + "/system";

    Tree() {
        fs::create_directories(home + "/Library/Caches/App/deep");
        std::ofstream(home + "/Library/Caches/App/deep/file") << "x";
        fs::create_directories(outside + "/Caches/App");
        std::ofstream(outside + "/precious") << "keep";
        std::ofstream(outside + "/Caches/App/precious") << "keep";
    }
    bool outsideIntact() const {
        return fs::exists(outside + "/precious") && fs::exists(outside + "/Caches/App/precious");
    }
};

TEST(FilesRemoveTest, RemovesATreeWithoutFollowingLinksInIt) {
    Tree tree;
    fs::create_symlink(tree.outside, tree.home + "/Library/Caches/App/deep/link");
    fs::create_symlink(tree.outside + "/precious", tree.home + "/Library/Caches/App/file-link");
    EXPECT_TRUE(Files::removeBeneath(tree.home, "Library/Caches/App"));
    EXPECT_FALSE(fs::exists(tree.home + "/Library/Caches/App"));
    EXPECT_TRUE(fs::exists(tree.home + "/Library/Caches"));
    EXPECT_TRUE(tree.outsideIntact());
}

TEST(FilesRemoveTest, ALinkAtTheEndGoesItselfAndALinkOnTheWayStopsThePath) {
    struct Case {
        const char* name;
        const char* link;    // replaced by a link to the outside directory
        const char* remove;  // the path asked for
        bool removed;
    };
    const Case cases[] = {
        {"link as the last component", "Library/Caches/App", "Library/Caches/App", true},
        {"link in the middle", "Library/Caches", "Library/Caches/App", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree;
        std::string link = tree.home + "/" + c.link;
        fs::remove_all(link);
        fs::create_symlink(tree.outside, link);
        EXPECT_EQ(Files::removeBeneath(tree.home, c.remove), c.removed);
        EXPECT_TRUE(tree.outsideIntact());
        EXPECT_EQ(fs::is_symlink(link), !c.removed);
    }
}

TEST(FilesRemoveTest, RefusesPathsThatClimbOutOrAreMissing) {
    Tree tree;
    for (const char* path : {"Library/../../system", "../system", "/Library/Caches", "", "Library/Caches/None"}) {
        EXPECT_FALSE(Files::removeBeneath(tree.home, path)) << path;
    }
    EXPECT_TRUE(tree.outsideIntact());
    EXPECT_TRUE(fs::exists(tree.home + "/Library/Caches/App/deep/file"));
}

}  // namespace
}  // namespace vesk::test

// Lays out the simulated host: the tools, the console user and its home, the files the
// daemon's uninstaller removes, and the tools' default state.

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <initializer_list>
#include <string_view>
#include <utility>

#include "Tools.hpp"

namespace vesk::hostsim {
namespace {

namespace fs = std::filesystem;

// The console user when installing as root, as on a Mac whose first user it is.
constexpr uid_t firstUserId = 501;
constexpr gid_t staffGroupId = 20;

void writeText(const fs::path& file, std::string_view text) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

void chownTree(const fs::path& top, uid_t uid, gid_t gid) {
    auto change = [&](const fs::path& path) {
        if (::lchown(path.c_str(), uid, gid) != 0) throw std::runtime_error("cannot chown " + path.string());
    };
    change(top);
    for (const auto& entry : fs::recursive_directory_iterator(top)) change(entry.path());
}

// A small XML property list of string values.
std::string plist(std::initializer_list<std::pair<std::string_view, std::string_view>> entries) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n<dict>\n";
    for (auto [key, value] : entries) {
        text += "  <key>" + std::string(key) + "</key>\n  <string>" + std::string(value) + "</string>\n";
    }
    return text + "</dict>\n</plist>\n";
}

constexpr std::string_view browserCaches[] = {
    "Library/Caches/Google/Chrome",
    "Library/Application Support/Google/Chrome/Default/Cache",
    "Library/Application Support/Google/Chrome/Default/Code Cache",
    "Library/Containers/com.apple.Safari/Data/Library/Caches",
    "Library/Caches/com.apple.Safari",
    "Library/Caches/Firefox",
    "Library/Caches/BraveSoftware/Brave-Browser",
    "Library/Application Support/BraveSoftware/Brave-Browser/Default/Cache",
    "Library/Caches/Microsoft Edge",
    "Library/Application Support/Microsoft Edge/Default/Cache",
    "Library/Caches/com.operasoftware.Opera",
    "Library/Caches/Vivaldi",
    "Library/Application Support/Vivaldi/Default/Cache",
    "Library/Caches/company.thebrowser.Browser",
};

void installUser(const fs::path& root, uid_t uid) {
    writeText(root / "dev/console", "");
    writeText(root / "etc/passwd",
              "root:*:0:0:System Administrator:/var/root:/bin/sh\n"
              "user1:*:" + std::to_string(uid) + ":" + std::to_string(staffGroupId) +
                  ":User One:/Users/user1:/bin/zsh\n");
    fs::create_directories(root / "var/root");
    fs::path home = root / "Users/user1";
    fs::create_directories(home);
    for (auto cache : browserCaches) writeText(home / cache / "cache.db", "SQLite format 3\n");
    writeText(home / "Library/Preferences/com.apple.networkserviceproxy.plist", plist({}));
    if (::geteuid() == 0) {
        if (::chown((root / "dev/console").c_str(), uid, staffGroupId) != 0) {
            throw std::runtime_error("cannot chown the console");
        }
        chownTree(home, uid, staffGroupId);
    }
}

// Reset whole, since the daemon under test may have changed or removed them.
void installDaemonFiles(const fs::path& root) {
    const char* paths[] = {
        "Library/Application Support/Vesk", "var/db/vesk", "var/log/vesk-dnsd.log", "Applications/VeskFilter.app",
        "Library/LaunchDaemons/app.quorran.tarnik.dnsd.plist",
    };
    for (const char* path : paths) fs::remove_all(root / path);
    fs::path app = root / "Library/Application Support/Vesk";
    writeText(app / "vesk-dnsd", "#!/bin/sh\nexit 0\n");
    fs::permissions(app / "vesk-dnsd", fs::perms(0755));
    writeText(app / "adult-domains.txt", "example-adult.test\nadult.example\n");
    fs::create_directories(root / "var/db/vesk");
    fs::permissions(root / "var/db/vesk", fs::perms::owner_all);
    writeText(root / "var/log/vesk-dnsd.log", "");
    writeText(root / "Applications/VeskFilter.app/Contents/Info.plist",
              plist({{"CFBundleIdentifier", "app.quorran.tarnik.filter"},
                     {"CFBundleName", "VeskFilter"}}));
    writeText(root / "Library/LaunchDaemons/app.quorran.tarnik.dnsd.plist",
              plist({{"Label", "app.quorran.tarnik.dnsd"}, {"Program", "/Library/Application Support/Vesk/vesk-dnsd"}}));
}

// The host's own lookups: no per-domain resolver files, and the hosts file a Mac ships with.
void installNameService(const fs::path& root) {
    fs::remove_all(root / "etc/resolver");
    fs::create_directories(root / "etc/resolver");
    writeText(root / "etc/hosts",
              "##\n"
              "# Host Database\n"
              "#\n"
              "# localhost is used to configure the loopback interface\n"
              "# when the system is booting.  Do not change this entry.\n"
              "##\n"
              "127.0.0.1\tlocalhost\n"
              "255.255.255.255\tbroadcasthost\n"
              "::1             localhost\n");
}

// The tools' state; the encrypted resolver switch (hostsim/encrypted-dns) starts off.
void installState(const fs::path& root, uid_t uid) {
    fs::remove_all(root / "hostsim");
    writeText(root / "hostsim/services", "Wi-Fi\ton\t\nBluetooth PAN\toff\t\nThunderbolt Bridge\ton\t\n");
    writeText(root / "hostsim/processes", "mDNSResponder\nFinder\n");
    writeText(root / "hostsim/launchd",
              "gui/" + std::to_string(uid) + "/com.apple.networkserviceproxy\n"
              "system/app.quorran.tarnik.dnsd\n");
    writeText(root / "hostsim/notifications", "");
    writeText(root / "calls.log", "");
}

// Homebrew with the formulae the build needs installed: a directory for each, where
// brew --prefix says it is (which it says of a formula whether installed or not).
void installHomebrew(const fs::path& root) {
    fs::remove_all(root / "opt/homebrew/opt");
    for (const char* formula : {"asio", "cmake", "curl", "fmt", "icu4c", "ninja", "nlohmann-json", "openssl@3"}) {
        fs::create_directories(root / "opt/homebrew/opt" / formula);
    }
}

}  // namespace

void install(const std::string& rootPath, const std::string& program) {
    // A Mac's own directories are writable by their owner alone, as the daemon requires of
    // those above its state, whatever the umask of whoever lays the host out.
    ::umask(022);
    fs::path root = fs::absolute(rootPath);
    fs::create_directories(root);
    for (const auto& tool : tools) {
        fs::path link = root / tool.hostPath.substr(1);
        fs::create_directories(link.parent_path());
        fs::remove_all(link);
        fs::create_symlink(program, link);
    }
    uid_t user = ::geteuid() == 0 ? firstUserId : ::geteuid();
    installUser(root, user);
    writeText(root / "System/Library/LaunchAgents/com.apple.networkserviceproxy.plist",
              plist({{"Label", "com.apple.networkserviceproxy"},
                     {"Program", "/usr/libexec/networkserviceproxy"}}));
    installDaemonFiles(root);
    installNameService(root);
    installState(root, user);
    installHomebrew(root);
}

}  // namespace vesk::hostsim

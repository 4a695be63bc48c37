#include "Uninstaller.hpp"

#include "VeskPlatform/Files.hpp"

namespace vesk {

const std::vector<std::string>& Uninstaller::removalList() {
    static const std::vector<std::string> paths{
        "/Library/Application Support/Vesk",  // the daemon, the blocklists and the scripts
        "/var/db/vesk",                       // the PIN, the token and the intended state
        "/var/log/vesk-dnsd.log",
        "/Applications/VeskFilter.app",
        "/Library/LaunchDaemons/app.quorran.tarnik.dnsd.plist",
    };
    return paths;
}

void Uninstaller::performAndExit() {
    systemDNS.disable();
    for (const auto& path : removalList()) {
        // A path that is missing or will not go is passed over; the rest still goes. Walked
        // from the root without following links, so that one planted on the way cannot
        // steer root into deleting something else.
        Files::removeBeneath(root.path("/"), path.substr(1));
    }
    log.info("uninstall: DNS restored, files removed; unloading daemon");
    queue.asyncAfter(std::chrono::milliseconds(600), [this] {
        // launchd ends us as it unloads the job, usually before the tool returns; the exit
        // covers the case where it has not.
        tools.run("/bin/launchctl", {"bootout", "system/app.quorran.tarnik.dnsd"});
        exitProcess();
    });
}

}  // namespace vesk

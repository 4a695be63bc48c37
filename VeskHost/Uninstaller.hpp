#pragma once

#include <functional>
#include <string>
#include <vector>

#include "VeskHost/SystemDNS.hpp"
#include "VeskPlatform/HostRoot.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/SerialQueue.hpp"
#include "VeskPlatform/ToolRunner.hpp"
#include "VeskHost/LogChannels.hpp"

namespace vesk {

// Removes the whole product: gives the machine its DNS settings back, deletes the
// daemon's files, the companion application and the job definition, then unloads the
// daemon's own job, which ends the process.
class Uninstaller {
public:
    static const std::vector<std::string>& removalList();

    // exitProcess ends the process with status 0; queue runs the delayed unload.
    Uninstaller(SystemDNS& dns, ToolRunner& runner, const HostRoot& hostRoot, TaskQueue& delayed,
                std::function<void()> exit)
        : systemDNS(dns), tools(runner), root(hostRoot), queue(delayed), exitProcess(std::move(exit)) {}
    Uninstaller(const Uninstaller&) = delete;
    Uninstaller& operator=(const Uninstaller&) = delete;

    // Restores and removes on the caller's thread, then returns; 0.6 seconds later the job
    // is unloaded and the process ends, which leaves the caller time to answer.
    void performAndExit();

private:
    SystemDNS& systemDNS;
    ToolRunner& tools;
    const HostRoot& root;
    TaskQueue& queue;
    std::function<void()> exitProcess;
    Log log{LogChannels::uninstall};
};

}  // namespace vesk

#include "FilterController.hpp"

#include <algorithm>
#include <filesystem>

#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Text.hpp"

namespace vesk {

FilterController::FilterController(Parts controlled, TaskQueue& taskQueue)
    : parts(std::move(controlled)),
      queue(taskQueue),
      intendedFile((std::filesystem::path(parts.directory) / "filter.intended").string()),
      seenFile((std::filesystem::path(parts.directory) / "services.seen").string()) {
    // From a directory that cannot be trusted, as if nothing were stored.
    if (stateTrusted()) {
        auto text = Files::readText(intendedFile);
        intended = text == "on";
        if (text == "on" || text == "off") stored = intended;
        if (auto names = Files::readText(seenFile)) {
            for (auto name : nonEmptyLines(*names)) seen.emplace(name);
        }
    }
    auto first = std::make_shared<FilterSnapshot>();
    first->intended = intended;
    first->since = parts.clock.wallNow();
    current = std::move(first);
}

FilterController::Snapshot FilterController::snapshot() const {
    std::lock_guard guard(snapshotLock);
    return current;
}

void FilterController::setIntended(bool on) {
    ++changes;
    intended = on;
    if (stored == on || !stateTrusted()) return;
    Files::createParentDirectories(intendedFile);
    if (auto error = Files::writeAtomically(intendedFile, on ? "on" : "off"); !error.empty()) {
        log.error("cannot store the filter's intended state in {}: {}", intendedFile, error);
        return;
    }
    stored = on;
}

void FilterController::readBack() {
    auto reading = parts.systemDNS.readServers();
    remember(reading);
    publish(reading);
}

// Kept so that a service that first appears later (a dock's Ethernet, tethering) can be
// told from one the user changed.
void FilterController::remember(const SystemDNS::Reading& reading) {
    bool added = false;
    for (const auto& entry : reading) added = seen.insert(entry.service).second || added;
    if (!added || !stateTrusted()) return;
    std::string text;
    for (const auto& name : seen) text += (text.empty() ? "" : "\n") + name;
    Files::createParentDirectories(seenFile);
    if (auto error = Files::writeAtomically(seenFile, text); !error.empty()) {
        log.error("cannot store the services seen in {}: {}", seenFile, error);
    }
}

void FilterController::publish(const SystemDNS::Reading& reading) {
    auto next = std::make_shared<FilterSnapshot>();
    next->intended = intended;
    next->pointed = SystemDNS::pointsAtFilter(reading);
    next->allPointed = next->pointed && std::all_of(reading.begin(), reading.end(), SystemDNS::onlyFilter);
    next->changes = changes;
    std::lock_guard guard(snapshotLock);
    bool same = current->intended == next->intended && current->pointed == next->pointed;
    next->since = same ? current->since : parts.clock.wallNow();
    next->tamper = current->tamper;
    current = std::move(next);
}

FilterController::Transition FilterController::change(const std::function<void()>& action) {
    Transition transition;
    queue.sync([&] {
        transition.before = snapshot();
        action();
        transition.after = snapshot();
    });
    // A stopped queue changes nothing.
    if (!transition.after) transition.before = transition.after = snapshot();
    return transition;
}

FilterController::Transition FilterController::enable() {
    return change([this] {
        setIntended(true);
        parts.systemDNS.enable();
        readBack();
    });
}

FilterController::Transition FilterController::disable() {
    return change([this] {
        setIntended(false);
        parts.systemDNS.disable();
        readBack();
    });
}

FilterController::Snapshot FilterController::checkAtStartup() {
    return change([this] {
                       // What appeared while we were down is not yet seen: the first look
                       // of the tamper watch tells new from changed.
                       auto reading = parts.systemDNS.readServers();
                       // Found on: meant to be on, until a PIN-guarded disable says otherwise.
                       if (SystemDNS::pointsAtFilter(reading)) {
                           setIntended(true);
                           parts.systemDNS.flushDNSCache();
                       }
                       publish(reading);
                   })
        .after;
}

void FilterController::uninstall(const std::function<void()>& tellPartner) {
    change([&] {
        if (intended && tellPartner) tellPartner();
        setIntended(false);
        // Nothing is read or written afterwards: the files are gone and so are we shortly.
        parts.uninstaller.performAndExit();
        publish({});
    });
}

FilterController::SettingsCheck FilterController::checkSettings() {
    SettingsCheck check;
    queue.sync([&] {
        check.intended = intended;
        check.changes = changes;
        if (!intended) return;
        auto reading = parts.systemDNS.readServers();
        for (const auto& entry : reading) {
            if (SystemDNS::onlyFilter(entry)) continue;
            bool restored = parts.systemDNS.pointAtFilter(entry.service);
            check.restores.push_back({entry.service, entry.servers, restored, !seen.contains(entry.service)});
        }
        remember(reading);
        bool anyAccepted = std::any_of(check.restores.begin(), check.restores.end(),
                                       [](const Restore& restore) { return restore.restored; });
        if (!anyAccepted) return publish(reading);
        parts.systemDNS.flushDNSCache();
        // The tool's word is not enough: only what reads back as changed was restored.
        auto after = parts.systemDNS.readServers();
        for (auto& restore : check.restores) {
            auto now = std::find_if(after.begin(), after.end(), [&](const SystemDNS::ServiceServers& entry) {
                return entry.service == restore.service;
            });
            restore.restored = restore.restored && (now == after.end() || SystemDNS::onlyFilter(*now));
        }
        remember(after);
        publish(after);
    });
    return check;
}

void FilterController::noteTamper(TamperFindings findings) {
    std::lock_guard guard(snapshotLock);
    if (current->tamper == findings) return;
    auto next = std::make_shared<FilterSnapshot>(*current);
    next->tamper = std::move(findings);
    current = std::move(next);
}

}  // namespace vesk

#include "FilterIntent.hpp"

#include "VeskPlatform/Files.hpp"

namespace vesk {

FilterIntent::FilterIntent(std::string path) : file(std::move(path)) {
    auto text = Files::readText(file);
    intended = text == "on";
    if (text == "on" || text == "off") stored = intended;
}

bool FilterIntent::on() const {
    std::lock_guard guard(lock);
    return intended;
}

uint64_t FilterIntent::generation() const {
    std::lock_guard guard(lock);
    return changes;
}

void FilterIntent::beginChange(bool wanted) {
    std::lock_guard guard(lock);
    ++changes;
    intended = wanted;
    if (stored == wanted) return;
    Files::createParentDirectories(file);
    if (auto error = Files::writeAtomically(file, wanted ? "on\n" : "off\n"); !error.empty()) {
        log.error("cannot store the filter's intended state in {}: {}", file, error);
        return;
    }
    stored = wanted;
}

void FilterIntent::endChange() {
    std::lock_guard guard(lock);
    ++changes;
}

bool FilterIntent::whileUnchanged(uint64_t seen, const std::function<void()>& action) {
    std::lock_guard guard(lock);
    if (!intended || changes != seen || changes % 2 != 0) return false;
    action();
    return true;
}

}  // namespace vesk

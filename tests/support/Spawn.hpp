#pragma once

#include <cstdlib>
#include <string>
#include <vector>

namespace vesk::test {

// The environment a spawned daemon gets: entries given, plus this process's sanitizer
// options (and whatever else is named), so a sanitized child reports as its parent does.
inline std::vector<std::string> childEnvironment(std::vector<std::string> entries,
                                                 std::vector<const char*> passed = {}) {
    passed.insert(passed.end(), {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"});
    for (const char* name : passed) {
        if (const char* value = std::getenv(name)) entries.push_back(std::string(name) + "=" + value);
    }
    return entries;
}

// Words as the null-terminated array posix_spawn takes; the words must outlive it.
class CStrings {
public:
    explicit CStrings(std::vector<std::string>& words) {
        for (auto& word : words) pointers.push_back(word.data());
        pointers.push_back(nullptr);
    }
    char** data() { return pointers.data(); }

private:
    std::vector<char*> pointers;
};

}  // namespace vesk::test

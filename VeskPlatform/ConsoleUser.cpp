#include "ConsoleUser.hpp"

#include <sys/stat.h>

namespace vesk {

std::optional<uid_t> HostConsoleUser::find() const {
    struct stat info {};
    if (::stat(root.path("/dev/console").c_str(), &info) != 0 || info.st_uid < 500) return std::nullopt;
    return info.st_uid;
}

std::optional<ToolRunner::Args> ConsoleUser::inSession(uid_t uid, const std::string& tool,
                                                       const ToolRunner::Args& args) const {
    auto user = account(uid);
    if (!user) return std::nullopt;
    ToolRunner::Args words{"asuser", std::to_string(uid), "/usr/bin/sudo", "-u", user->name, tool};
    words.insert(words.end(), args.begin(), args.end());
    return words;
}

}  // namespace vesk

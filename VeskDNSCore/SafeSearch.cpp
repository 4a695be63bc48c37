#include "SafeSearch.hpp"

#include <string>
#include <unordered_map>

namespace vesk::SafeSearch {
namespace {

constexpr std::string_view googleSafe = "forcesafesearch.google.com";
constexpr std::string_view youtubeSafe = "restrictmoderate.youtube.com";
constexpr std::string_view bingSafe = "strict.bing.com";
constexpr std::string_view duckDuckGoSafe = "safe.duckduckgo.com";

// Google's search domain is "google." + each of these.
constexpr std::string_view googleSuffixes[] = {
    "com", "ac", "ad", "ae", "com.af", "com.ag", "al", "am", "co.ao", "com.ar", "as", "at",
    "com.au", "az", "ba", "com.bd", "be", "bf", "bg", "com.bh", "bi", "bj", "com.bn", "com.bo",
    "com.br", "bs", "bt", "co.bw", "by", "com.bz", "ca", "cd", "cf", "cg", "ch", "ci", "co.ck",
    "cl", "cm", "cn", "com.co", "co.cr", "com.cu", "cv", "com.cy", "cz", "de", "dj", "dk", "dm",
    "com.do", "dz", "com.ec", "ee", "com.eg", "es", "com.et", "fi", "com.fj", "fm", "fr", "ga",
    "ge", "gg", "com.gh", "com.gi", "gl", "gm", "gp", "gr", "com.gt", "gy", "com.hk", "hn", "hr",
    "ht", "hu", "co.id", "ie", "co.il", "im", "co.in", "iq", "is", "it", "je", "com.jm", "jo",
    "co.jp", "co.ke", "com.kh", "ki", "kg", "co.kr", "com.kw", "kz", "la", "com.lb", "li", "lk",
    "co.ls", "lt", "lu", "lv", "com.ly", "co.ma", "md", "me", "mg", "mk", "ml", "com.mm", "mn",
    "ms", "com.mt", "mu", "mv", "mw", "com.mx", "com.my", "co.mz", "com.na", "com.ng", "com.ni",
    "ne", "nl", "no", "com.np", "nr", "nu", "co.nz", "com.om", "com.pa", "com.pe", "com.pg",
    "com.ph", "com.pk", "pl", "pn", "com.pr", "ps", "pt", "com.py", "com.qa", "ro", "ru", "rw",
    "com.sa", "com.sb", "sc", "se", "com.sg", "sh", "si", "sk", "com.sl", "sn", "so", "sm", "sr",
    "com.sv", "td", "tg", "co.th", "com.tj", "tl", "tm", "tn", "to", "com.tr", "tt", "com.tw",
    "co.tz", "com.ua", "co.ug", "co.uk", "com.uy", "co.uz", "com.vc", "co.ve", "vg", "co.vi",
    "com.vn", "vu", "ws", "rs", "co.za", "co.zm", "co.zw", "cat",
};

constexpr std::string_view youtubeNames[] = {
    "youtube.com", "m.youtube.com", "youtube-nocookie.com", "youtubei.googleapis.com",
    "youtube.googleapis.com",
};

struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using Table = std::unordered_map<std::string, std::string_view, Hash, std::equal_to<>>;

const Table& rewrites() {
    static const Table table = [] {
        Table built;
        for (auto suffix : googleSuffixes) built.emplace("google." + std::string(suffix), googleSafe);
        for (auto name : youtubeNames) built.emplace(std::string(name), youtubeSafe);
        built.emplace("bing.com", bingSafe);
        built.emplace("duckduckgo.com", duckDuckGoSafe);
        return built;
    }();
    return table;
}

}  // namespace

std::optional<std::string_view> target(const DomainName& name) {
    std::string_view key = name.view();
    if (key.starts_with("www.")) key.remove_prefix(4);
    const Table& table = rewrites();
    auto found = table.find(key);
    if (found == table.end()) return std::nullopt;
    return found->second;
}

}  // namespace vesk::SafeSearch

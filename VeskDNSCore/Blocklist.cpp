#include "Blocklist.hpp"

#include <algorithm>
#include <cstring>

#include "VeskDNSCore/DomainName.hpp"
#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

// The platform's and the product's own infrastructure: the file may never block these.
const std::vector<std::string_view> neverBlockNames = {
    "apple.com",           // Apple's main web domain
    "icloud.com",          // cloud services
    "icloud-content.com",  // cloud content
    "me.com",              // legacy mail
    "mzstatic.com",        // media content CDN
    "cdn-apple.com",       // CDN
    "aaplimg.com",         // image CDN
    "apple-dns.net",       // Apple's DNS service domain
    "push.apple.com",      // push notifications
    "captive.apple.com",   // captive-portal test
    "gvt1.com",            // Google's software-download CDN
    "quorran.app",         // our own web presence
    "tarnik.app",
    "supabase.co",  // the backend provider
    "supabase.com",
    "vercel.app",  // web hosting
};

const std::vector<std::string_view> dohNames = {
    "cloudflare-dns.com", "one.one.one.one",                            // Cloudflare
    "dns.google", "dns.google.com",                                     // Google Public DNS
    "dns.quad9.net", "dns9.quad9.net", "dns10.quad9.net", "dns11.quad9.net",  // Quad9
    "doh.opendns.com", "doh.familyshield.opendns.com",                  // OpenDNS
    "dns.adguard.com", "dns.adguard-dns.com", "family.adguard-dns.com",
    "unfiltered.adguard-dns.com",                                       // AdGuard
    "dns.nextdns.io",                                                   // NextDNS
    "doh.cleanbrowsing.org",                                            // CleanBrowsing
    "doh.xfinity.com",                                                  // Comcast Xfinity
    "doh.dns.sb",                                                       // DNS SB
    "use-application-dns.net",  // Firefox's canary: NXDOMAIN keeps its own DoH off
    "wikimedia-dns.org",                                                // Wikimedia DNS
    "dns.mullvad.net", "doh.mullvad.net",                               // Mullvad
    "dns.controld.com", "freedns.controld.com",                         // Control D
    "dns0.eu",                                                          // dns0
    "private.canadianshield.cira.ca",                                   // CIRA Canadian Shield
    "doh.libredns.gr",                                                  // LibreDNS
    "doh.umbrella.com",                                                 // Cisco Umbrella
    "dns.twnic.tw",                                                     // TWNIC
    "dnsforge.de",                                                      // dnsforge
    "dns.alidns.com",                                                   // AliDNS
    "doh.360.cn",                                                       // Qihoo 360
    "dns.comss.one",                                                    // Comss
    "common.dot.dns.yandex.net", "safe.dot.dns.yandex.net",             // Yandex
    "doh.ffmuc.net",                                                    // Freifunk München
    "dns.switch.ch",                                                    // SWITCH
    "doh.tiar.app", "doh.tiarap.org",                                   // Tiarap
    "dns.digitale-gesellschaft.ch",                                     // Digitale Gesellschaft
    "doh-de.blahdns.com",                                               // BlahDNS
};

// iCloud Private Relay ingress hosts.
const std::vector<std::string_view> relayNames = {
    "mask.icloud.com",
    "mask-h2.icloud.com",
    "mask-api.icloud.com",
};

// Numbered and regional relay ingress hosts ("mask" + anything) live under these.
constexpr std::string_view relayMaskDomains[] = {".apple-dns.net", ".aaplimg.com", ".icloud.com"};
constexpr std::string_view appleEncryptedDNSHost = "doh.dns.apple.com";
constexpr std::string_view appleEncryptedDNSAlias = "doh.dns.apple.com.v.aaplimg.com";

NameSet buildTable(const std::vector<std::string_view>& names) {
    NameSet set(names.size());
    for (auto name : names) set.insert(name);
    return set;
}

const NameSet& neverBlockSet() {
    static const NameSet set = buildTable(neverBlockNames);
    return set;
}
const NameSet& dohSet() {
    static const NameSet set = buildTable(dohNames);
    return set;
}
const NameSet& relaySet() {
    static const NameSet set = buildTable(relayNames);
    return set;
}

bool isASCIISpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Trims ASCII white space fast and leaves anything else to the Unicode-aware trim.
std::string_view trimLine(std::string_view line) {
    while (!line.empty() && isASCIISpace(line.front())) line.remove_prefix(1);
    while (!line.empty() && isASCIISpace(line.back())) line.remove_suffix(1);
    if (!line.empty() && (static_cast<unsigned char>(line.front()) >= 0x80 ||
                          static_cast<unsigned char>(line.back()) >= 0x80)) {
        line = DomainName::trimmed(line);
    }
    return line;
}

}  // namespace

// Applies the line rules and inserts in small batches: the buckets of a batch are
// prefetched together, so a million random inserts do not wait on memory one by one.
class Blocklist::Loader {
public:
    explicit Loader(Blocklist& target) : list(target) {}

    void add(std::string_view raw) {
        std::string_view line = trimLine(raw);
        // Lower-casing never makes or removes a '#' or a '.', so reject before paying for it.
        if (line.empty() || line.front() == '#' || line.front() == '.' ||
            line.find('.') == std::string_view::npos) {
            return;
        }
        std::string& name = names[pending];
        if (DomainName::isASCII(line)) {
            name.assign(line);
            for (char& c : name) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        } else {
            name = DomainName::lowercased(line);
        }
        NameWalk walk(name);
        if (neverBlockSet().containsAny(walk)) return;
        hashes[pending] = walk.begin()->hash;
        list.blocked.prefetch(hashes[pending]);
        if (++pending == batch) flush();
    }

    void finish() {
        flush();
        list.noteNeverBlockParents();
    }

private:
    void flush() {
        for (size_t i = 0; i < pending; ++i) list.blocked.insert(names[i], hashes[i]);
        pending = 0;
    }

    static constexpr size_t batch = 16;
    Blocklist& list;
    std::string names[batch];
    uint64_t hashes[batch] = {};
    size_t pending = 0;
};

Blocklist::Blocklist(const std::string& path) {
    auto data = Files::readAll(path);
    if (!data) return;
    std::string_view text = *data;
    if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
    if (!DomainName::isValidUTF8(text)) return;
    load(text, static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
}

Blocklist::Blocklist(const std::vector<std::string>& lines) {
    size_t bytes = 0;
    for (const auto& line : lines) bytes += line.size();
    blocked = NameSet(lines.size(), bytes);
    Loader loader(*this);
    for (const auto& line : lines) loader.add(line);
    loader.finish();
}

void Blocklist::load(std::string_view text, size_t lineCount) {
    blocked = NameSet(lineCount, text.size());
    Loader loader(*this);
    while (!text.empty()) {
        size_t end = text.find('\n');
        if (end == std::string_view::npos) end = text.size();
        loader.add(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    loader.finish();
}

void Blocklist::noteNeverBlockParents() {
    for (auto name : neverBlockNames) {
        NameWalk walk(name);
        for (const auto* parent = walk.begin() + 1; parent < walk.end(); ++parent) {
            if (blocked.contains(parent->name(), parent->hash)) listsNeverBlockParent = true;
        }
    }
}

bool Blocklist::contains(std::string_view domain) const {
    if (blocked.empty()) return false;
    DomainName::Normalized normalized(domain);
    if (normalized.view().empty()) return false;
    NameWalk walk(normalized.view());
    // A listed name is never a never-block name nor under one (those lines are dropped
    // at load), so never-block can only overrule a hit through a listed parent of one.
    return blocked.containsAny(walk) &&
           !(listsNeverBlockParent && neverBlockSet().containsAny(walk));
}

bool Blocklist::isCritical(std::string_view name) {
    return neverBlockSet().containsAny(NameWalk(name));
}

bool Blocklist::matches(std::string_view name, const NameSet& set) {
    DomainName::Normalized normalized(name);
    if (normalized.view().empty()) return false;
    return set.containsAny(NameWalk(normalized.view()));
}

bool Blocklist::isDoHBypass(std::string_view domain) { return matches(domain, dohSet()); }

bool Blocklist::isPrivateRelayBypass(std::string_view domain) {
    if (matches(domain, relaySet())) return true;
    DomainName::Normalized normalized(domain);
    std::string_view name = normalized.view();
    if (name.empty()) return false;
    std::string_view firstLabel = name.substr(0, name.find('.'));
    if (firstLabel.starts_with("mask")) {
        for (auto suffix : relayMaskDomains) {
            if (name.ends_with(suffix)) return true;
        }
    }
    if (name == appleEncryptedDNSHost || name == appleEncryptedDNSAlias) return true;
    return name.size() > appleEncryptedDNSHost.size() && name.ends_with(appleEncryptedDNSHost) &&
           name[name.size() - appleEncryptedDNSHost.size() - 1] == '.';
}

const std::vector<std::string_view>& Blocklist::neverBlock() { return neverBlockNames; }
const std::vector<std::string_view>& Blocklist::dohEndpoints() { return dohNames; }
const std::vector<std::string_view>& Blocklist::privateRelayEndpoints() { return relayNames; }

}  // namespace vesk

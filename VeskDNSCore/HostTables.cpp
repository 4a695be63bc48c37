#include "HostTables.hpp"

namespace vesk::HostTables {
namespace {

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
constexpr std::string_view relayMaskDomains[] = {"apple-dns.net", "aaplimg.com", "icloud.com"};
constexpr std::string_view appleEncryptedDNSHost = "doh.dns.apple.com";
constexpr std::string_view appleEncryptedDNSAlias = "doh.dns.apple.com.v.aaplimg.com";

NameSet buildTable(const std::vector<std::string_view>& names) {
    NameSet set(names.size());
    for (auto name : names) set.insert(name);
    return set;
}

bool inTable(const DomainName& name, const NameSet& table) {
    return !name.empty() && table.containsAny(NameWalk(name.view()));
}

}  // namespace

bool isDoHBypass(const DomainName& name) {
    static const NameSet table = buildTable(dohNames);
    return inTable(name, table);
}

bool isPrivateRelayBypass(const DomainName& name) {
    static const NameSet table = buildTable(relayNames);
    if (inTable(name, table)) return true;
    if (name.firstLabel().starts_with("mask")) {
        for (auto domain : relayMaskDomains) {
            if (name.isAtOrUnder(domain)) return true;
        }
    }
    return name == appleEncryptedDNSAlias || name.isAtOrUnder(appleEncryptedDNSHost);
}

const std::vector<std::string_view>& neverBlock() { return neverBlockNames; }

bool isNeverBlock(const NameWalk& walk) {
    static const NameSet set = buildTable(neverBlockNames);
    return set.containsAny(walk);
}

}  // namespace vesk::HostTables

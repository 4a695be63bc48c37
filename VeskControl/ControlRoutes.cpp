#include "ControlRoutes.hpp"

#include <cstdio>

#include "VeskDNSCore/DomainName.hpp"
#include "VeskPlatform/Files.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;
using namespace std::chrono_literals;

std::string refusal(int status, const char* code) { return ControlHttp::json(status, {{"error", code}}); }

std::string lockedOut(int64_t seconds) { return ControlHttp::json(423, {{"error", "locked"}, {"seconds", seconds}}); }

// A member counts only when it is a string: a number where a PIN belongs is no PIN.
std::optional<std::string> stringMember(const json& body, const char* key) {
    auto found = body.find(key);
    if (found == body.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

// Exactly this machine's names, with a port at most: a prefix test would let
// "localhost.attacker.example" through, which is how a web page rebinds a name onto us.
bool isLoopbackHost(const std::string& host) {
    for (std::string_view name : {"127.0.0.1", "localhost"}) {
        if (!host.starts_with(name)) continue;
        std::string_view rest = std::string_view(host).substr(name.size());
        if (rest.empty()) return true;
        if (rest.size() >= 2 && rest[0] == ':' &&
            rest.find_first_not_of("0123456789", 1) == std::string_view::npos) {
            return true;
        }
    }
    return false;
}

bool isJson(const std::optional<std::string>& contentType) {
    std::string lowered = contentType.value_or("");
    DomainName::lowerASCII(lowered);
    return lowered.starts_with("application/json");
}

// The routes that read or write the PIN and token files: refused while anyone but root
// could have put those files there, since a PIN of someone else's would then open them.
bool usesState(const ControlRequest& request) {
    const std::string& path = request.path;
    if (request.method == "GET") return path == "/pair-status";
    return request.method == "POST" && (path == "/pin" || path == "/pair" || path == "/disable" ||
                                        path == "/verify-pin" || path == "/signout" || path == "/uninstall");
}

}  // namespace

ControlRoutes::ControlRoutes(Parts routeParts) : parts(std::move(routeParts)) {}

std::optional<std::string> ControlRoutes::readFile(const std::string& path) {
    return Files::readText(path);
}

bool ControlRoutes::writeFile(const std::string& text, const std::string& path) {
    Files::createParentDirectories(path);
    return Files::writeAtomically(path, text).empty();
}

std::string ControlRoutes::route(const ControlRequest& request) {
    if (request.host && !isLoopbackHost(*request.host)) return refusal(421, "bad_host");
    if (request.method == "POST" && !isJson(request.contentType)) return refusal(415, "unsupported_media_type");
    return endpoint(request);
}

std::string ControlRoutes::endpoint(const ControlRequest& request) {
    const std::string& path = request.path;
    if (usesState(request) && !stateTrusted()) return refusal(503, "insecure_state_dir");
    if (request.method == "GET") {
        if (path == "/status") return status();
        if (path == "/events") return events();
        if (path == "/pair-status") return pairStatus();
        if (path == "/blocklist" && parts.blocklist) return ControlHttp::json(200, parts.blocklist());
        if (path == "/network" && parts.network) return ControlHttp::json(200, parts.network());
    } else if (request.method == "POST") {
        if (path == "/enable") return enable();
        if (path == "/pin") return setPin(request.body);
        if (path == "/pair") return pair(request.body);
        if (path == "/disable" || path == "/verify-pin" || path == "/signout" || path == "/uninstall") {
            if (auto refused = refusedPin(request.body)) return *refused;
            if (path == "/disable") return disable();
            if (path == "/verify-pin") return ControlHttp::json(200, {{"ok", true}});
            if (path == "/signout") return signOut();
            return uninstall();
        }
    }
    return refusal(404, "not_found");
}

std::optional<std::string> ControlRoutes::refusedPin(const json& body, bool allowUnset) {
    auto result = parts.pin.verify(stringMember(body, "pin").value_or(""));
    using Kind = PinStore::VerifyResult::Kind;
    switch (result.kind) {
        case Kind::ok:
            return std::nullopt;
        case Kind::wrong:
            return ControlHttp::json(403, {{"error", "wrong_pin"}, {"remaining", result.remaining}});
        case Kind::lockedOut:
            return lockedOut(result.seconds);
        case Kind::notSet:
            if (allowUnset) return std::nullopt;
            return refusal(409, "no_pin");
    }
    return refusal(409, "no_pin");
}

std::string ControlRoutes::status() {
    auto filter = parts.host.view();
    // Nothing is read from a directory that cannot be trusted.
    bool trusted = stateTrusted();
    bool pinSet = trusted && parts.pin.isSet();
    bool isPaired = trusted && paired();
    bool relay = parts.host.safariPrivacyProxyActive(parts.clock.wallNow());
    const auto& tamper = filter.tamper;
    json since = tamper.since ? json(Clock::isoTime(*tamper.since)) : json(nullptr);
    return ControlHttp::json(200, {{"enabled", filter.enabled}, {"pinSet", pinSet}, {"paired", isPaired},
                                   {"safariPrivacyProxyActive", relay},
                                   {"tamper", {{"since", since}, {"via", tamper.via}}}});
}

std::string ControlRoutes::events() {
    json list = json::array();
    if (parts.blockLog) {
        for (const auto& event : parts.blockLog->recent(50)) {
            list.push_back({{"category", event.category}, {"at", Clock::isoTime(event.at)}});
        }
    }
    return ControlHttp::json(200, {{"events", list}});
}

std::string ControlRoutes::enable() {
    // Nothing to change: a client looping on enable must run no tools and restart no
    // browsers. Whatever moved the settings since the snapshot, the tamper watch restores.
    auto filter = parts.host.view();
    if (filter.intended && filter.allPointed) return ControlHttp::json(200, {{"enabled", true}});
    parts.host.enable();
    log.info("filter ENABLED via control API");
    parts.host.restartBrowsers();
    return ControlHttp::json(200, {{"enabled", true}});
}

std::string ControlRoutes::disable() {
    bool wasOn = parts.host.disable();
    log.info("filter DISABLED via control API (PIN ok)");
    // Turning off a filter that was already off tells the partner nothing new.
    if (wasOn && parts.reporter) parts.reporter->reportMonitoringEvent("FILTER_DISABLED");
    return ControlHttp::json(200, {{"enabled", false}});
}

std::string ControlRoutes::signOut() {
    parts.host.disable();
    log.info("SIGN OUT via control API (PIN ok)");
    // Sent while the token file is still there, so that the event can be authenticated.
    if (parts.reporter) {
        parts.reporter->reportMonitoringEventSync("SIGNED_OUT", json::object(), 10s);
        parts.reporter->signOut();
    } else {
        std::remove(parts.tokenFile.c_str());
    }
    std::remove(emailFile().c_str());
    return ControlHttp::json(200, {{"ok", true}});
}

// A first PIN needs a paired device; once there is one, changing it needs the current one.
// That check counts toward the lock-out like every other: were it free, the PIN could be
// guessed here without limit and then replaced.
std::string ControlRoutes::setPin(const json& body) {
    bool pinSet = parts.pin.isSet();
    if (!pinSet && !paired()) return refusal(409, "not_paired");
    auto current = stringMember(body, "current");
    if (pinSet) {
        auto checked = parts.pin.verify(current.value_or(""));
        using Kind = PinStore::VerifyResult::Kind;
        if (checked.kind == Kind::lockedOut) return lockedOut(checked.seconds);
        if (checked.kind == Kind::wrong) return refusal(400, "invalid_or_wrong_current");
    }
    if (!parts.pin.setPin(stringMember(body, "pin").value_or(""), current)) {
        return refusal(400, "invalid_or_wrong_current");
    }
    return ControlHttp::json(200, {{"ok", true}});
}

std::string ControlRoutes::pairStatus() {
    std::string email = readFile(emailFile()).value_or("");
    return ControlHttp::json(200, {{"paired", paired()}, {"email", email}});
}

// Re-pairing the same account needs no PIN; handing the device to another account does,
// unless no PIN was ever set.
std::string ControlRoutes::pair(const json& body) {
    auto token = stringMember(body, "refreshToken");
    if (!token || token->empty()) return refusal(400, "missing_token");
    if (pairing.exchange(true)) return refusal(429, "busy");
    struct Landing {
        std::atomic<bool>& flight;
        ~Landing() { flight = false; }
    } landing{pairing};
    AccountLookup account = parts.reporter ? parts.reporter->lookUpAccount(*token)
                                           : AccountLookup{std::nullopt, [&] { return writeFile(*token, parts.tokenFile); }};
    if (paired()) {
        bool sameAccount = account.email && readFile(emailFile()) == *account.email;
        if (!sameAccount) {
            if (auto refused = refusedPin(body, true)) return *refused;
        }
    }
    if (!account.store()) return refusal(500, "write_failed");
    auto email = account.email ? account.email : stringMember(body, "email");
    // The previous account's address must not stay beside another account's token.
    if (email && !email->empty()) {
        writeFile(*email, emailFile());
    } else {
        std::remove(emailFile().c_str());
    }
    log.info("device paired for alerts via control API");
    return ControlHttp::json(200, {{"ok", true}});
}

std::string ControlRoutes::uninstall() {
    log.info("uninstall requested (PIN ok)");
    // The surest way off: the partner hears of it as of any other, before the token goes
    // with the files.
    parts.host.uninstall([reporter = parts.reporter] {
        if (reporter) reporter->reportMonitoringEventSync("FILTER_DISABLED", {{"via", "uninstall"}}, 10s);
    });
    return ControlHttp::json(200, {{"uninstalled", true}});
}

}  // namespace vesk

#include "AlertReporter.hpp"

#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <string_view>

#include "VeskDNSCore/DomainName.hpp"
#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Text.hpp"
#include "VeskPlatform/Url.hpp"

namespace vesk {
namespace {

using json = nlohmann::json;

// Standard base64 (RFC 4648) with its padding; none for anything else.
std::optional<std::string> decodeBase64(const std::string& text) {
    if (text.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < text.size(); i += 4) {
        int quad[4];
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                quad[j] = 0;
                ++padding;
                continue;
            }
            if (padding > 0 || (quad[j] = value(c)) < 0) return std::nullopt;
        }
        uint32_t bits = static_cast<uint32_t>(quad[0] << 18 | quad[1] << 12 | quad[2] << 6 | quad[3]);
        out.push_back(static_cast<char>(bits >> 16));
        if (padding < 2) out.push_back(static_cast<char>(bits >> 8));
        if (padding < 1) out.push_back(static_cast<char>(bits));
    }
    return out;
}

// A JSON object from an answer's body, or none.
std::optional<json> objectFrom(const std::string& body) {
    json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

std::optional<std::string> stringMember(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

// One account lookup's answer, shared with its handler, which may come after the caller
// stopped waiting.
struct AlertReporter::Exchange {
    std::mutex lock;  // guards the rest
    std::condition_variable came;
    bool answered = false, abandoned = false;
    std::optional<std::string> email, rotated;
};

std::shared_ptr<AlertReporter> AlertReporter::create(const AlertConfig& config, Environment environment) {
    if (!config.supabaseURL) return nullptr;
    const std::string& base = *config.supabaseURL;
    auto url = Url::parse(base);
    if (!url) return nullptr;
    // Case-sensitive, as written: "HTTPS://" is refused.
    bool https = base.rfind("https://", 0) == 0, http = base.rfind("http://", 0) == 0;
    // Clear text only to this machine: the token and the alerts never cross a network so.
    if (!https && !(http && url->isLoopback())) return nullptr;
    if (!config.anonKey || config.anonKey->empty()) return nullptr;
    if (!config.refreshTokenFile || config.refreshTokenFile->empty()) return nullptr;
    auto ingest = urlWithPath(base, "functions/v1/tarnik-content-alert-ingest");
    auto rpc = urlWithPath(base, "rest/v1/rpc/tarnik_report_monitoring_event");
    auto token = urlWithPath(base, "auth/v1/token", "grant_type=refresh_token");
    if (!ingest || !rpc || !token) return nullptr;
    return std::make_shared<AlertReporter>(config, std::move(environment), *ingest, *rpc, *token);
}

AlertReporter::AlertReporter(const AlertConfig& config, Environment env, std::string ingestURL,
                             std::string monitoringRpcURL, std::string tokenURL)
    : ingest(std::move(ingestURL)),
      monitoringRpc(std::move(monitoringRpcURL)),
      token(std::move(tokenURL)),
      anonKey(*config.anonKey),
      refreshTokenFile(*config.refreshTokenFile),
      sourcePlatform(config.sourcePlatform),
      maxRetries(config.maxRetries),
      environment(std::move(env)) {}

std::optional<std::string> AlertReporter::readRefreshToken() const {
    if (environment.stateTrusted && !environment.stateTrusted()) return std::nullopt;
    return Files::readText(refreshTokenFile);
}

HttpRequest AlertReporter::tokenRequest(const std::string& refreshToken) const {
    return {"POST", token, {"Content-Type: application/json", "apikey: " + anonKey},
            json{{"refresh_token", refreshToken}}.dump()};
}

std::optional<std::string> AlertReporter::ensureAccessTokenLocked() {
    if (signedOut) return std::nullopt;
    auto now = environment.now();
    if (cachedAccessToken && now < cachedExpiry) return cachedAccessToken;
    auto refreshToken = readRefreshToken();
    if (!refreshToken) return std::nullopt;

    struct Result {
        std::optional<std::string> accessToken, refreshToken;
        int64_t lifetime = 3600;
    };
    std::promise<Result> answered;
    auto result = answered.get_future();
    // The client completes every request exactly once, so this wait always ends.
    environment.http.start(tokenRequest(*refreshToken), [&answered, this](HttpResponse response) {
        Result out;
        auto body = response.status >= 200 && response.status <= 299 ? objectFrom(response.body) : std::nullopt;
        if (!body) {
            log.error("token refresh failed code={}", response.status);
        } else {
            out.accessToken = stringMember(*body, "access_token");
            out.refreshToken = stringMember(*body, "refresh_token");
            if (auto it = body->find("expires_in"); it != body->end() && it->is_number()) {
                double seconds = it->get<double>();
                // Integral values only, and within range so that nothing below overflows; the
                // range comes first, since converting a value out of range is itself undefined.
                if (seconds > -1e12 && seconds < 1e12 && seconds == static_cast<double>(static_cast<int64_t>(seconds))) {
                    out.lifetime = static_cast<int64_t>(seconds);
                }
            }
        }
        answered.set_value(std::move(out));
    });
    Result got = result.get();
    if (!got.accessToken) return std::nullopt;
    cachedAccessToken = got.accessToken;
    cachedExpiry = environment.now() + std::chrono::seconds(std::max<int64_t>(got.lifetime - 60, 60));
    if (got.refreshToken && *got.refreshToken != *refreshToken) writeRefreshToken(*got.refreshToken);
    return cachedAccessToken;
}

void AlertReporter::writeRefreshToken(const std::string& refreshToken) {
    if (environment.stateTrusted && !environment.stateTrusted()) return;
    std::string error = Files::writeAtomically(refreshTokenFile, refreshToken);
    if (!error.empty()) log.error("could not persist rotated refresh token: {}", error);
}

void AlertReporter::forgetAccessToken() {
    cachedAccessToken.reset();
    cachedExpiry = SystemClock::time_point::min();
}

AlertReporter::AccountLookup AlertReporter::emailForRefreshToken(const std::string& refreshToken) {
    auto exchange = std::make_shared<Exchange>();
    std::weak_ptr<AlertReporter> weak = weak_from_this();
    environment.http.start(tokenRequest(refreshToken), [exchange, weak, refreshToken](HttpResponse response) {
        std::optional<std::string> email, rotated;
        if (auto body = objectFrom(response.body)) {
            // The e-mail whatever the status; a token to keep only from an answer that counts.
            if (auto access = stringMember(*body, "access_token")) email = decodeJWTEmail(*access);
            if (response.status >= 200 && response.status <= 299) rotated = stringMember(*body, "refresh_token");
        }
        bool late = false;
        {
            std::lock_guard guard(exchange->lock);
            exchange->email = email;
            exchange->rotated = rotated;
            exchange->answered = true;
            late = exchange->abandoned;
        }
        exchange->came.notify_all();
        auto self = weak.lock();
        if (!late || !rotated || !self) return;
        // The caller went on without this answer and may have stored the token it spent.
        self->environment.tokenQ.async([self, refreshToken, rotated] {
            if (self->readRefreshToken() == refreshToken) self->writeRefreshToken(*rotated);
        });
    });
    std::unique_lock guard(exchange->lock);
    if (!exchange->came.wait_for(guard, environment.accountWait, [&] { return exchange->answered; })) {
        exchange->abandoned = true;
        return {refreshToken, std::nullopt, std::nullopt, exchange};
    }
    return {refreshToken, exchange->email, exchange->rotated, exchange};
}

bool AlertReporter::pair(const AccountLookup& lookup) {
    bool stored = false;
    environment.tokenQ.sync([&] {
        auto keep = lookup.rotated;
        if (!keep && lookup.exchange) {
            // Its answer may have come since the wait ended.
            std::lock_guard guard(lookup.exchange->lock);
            keep = lookup.exchange->rotated;
        }
        Files::createParentDirectories(refreshTokenFile);
        if (!Files::writeAtomically(refreshTokenFile, keep.value_or(lookup.spent)).empty()) return;
        forgetAccessToken();
        signedOut = false;
        stored = true;
    });
    return stored;
}

void AlertReporter::signOut() {
    auto forget = [this] {
        std::remove(refreshTokenFile.c_str());
        forgetAccessToken();
        signedOut = true;
        log.info("alerts: signed out — reporting stopped");
    };
    // A stopped queue runs nothing more: the token goes all the same.
    if (!environment.tokenQ.sync(forget)) std::remove(refreshTokenFile.c_str());
}

std::optional<std::string> AlertReporter::decodeJWTEmail(const std::string& jwt) {
    auto pieces = split(jwt, ".", EmptyPieces::drop);
    if (pieces.size() != 3) return std::nullopt;
    std::string middle(pieces[1]);
    for (char& c : middle) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (middle.size() % 4 != 0) middle.push_back('=');
    auto decoded = decodeBase64(middle);
    if (!decoded) return std::nullopt;
    auto claims = objectFrom(*decoded);
    if (!claims) return std::nullopt;
    auto it = claims->find("email");
    if (it == claims->end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace vesk

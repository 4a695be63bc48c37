#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "VeskPlatform/HttpSession.hpp"

namespace vesk::test {

// An HTTP client that records every request and answers as its script says, at once on
// the caller's thread, or holds the request (no answer) for the test to answer later.
class FakeHttp final : public HttpClient {
public:
    using Script = std::function<std::optional<HttpResponse>(const HttpRequest&)>;

    explicit FakeHttp(Script behaviour) : script(std::move(behaviour)) {}

    void start(HttpRequest request, Completion completion) override {
        {
            std::lock_guard lock(mutex);
            seen.push_back(request);
        }
        if (auto response = script(request)) return completion(std::move(*response));
        std::lock_guard lock(mutex);
        held.push_back(std::move(completion));
    }
    std::vector<HttpRequest> requests() const {
        std::lock_guard lock(mutex);
        return seen;
    }
    // Requests to URLs containing part.
    size_t count(const std::string& part) const {
        size_t n = 0;
        for (const auto& request : requests()) n += request.url.find(part) != std::string::npos;
        return n;
    }
    void answerHeld(HttpResponse response) {
        std::vector<Completion> waiting;
        {
            std::lock_guard lock(mutex);
            waiting.swap(held);
        }
        for (auto& completion : waiting) completion(response);
    }

private:
    Script script;
    mutable std::mutex mutex;
    std::vector<HttpRequest> seen;
    std::vector<Completion> held;
};

}  // namespace vesk::test

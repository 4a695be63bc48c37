#include "HttpSession.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <map>

#include "VeskPlatform/Files.hpp"
#include "VeskPlatform/Log.hpp"
#include "VeskPlatform/Platform.hpp"
#include "VeskPlatform/Threads.hpp"

namespace vesk {
namespace {

void initialiseCurlOnce() {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialised;
}

void complete(const HttpSession::Completion& completion, HttpResponse response) {
    try {
        completion(std::move(response));
    } catch (const std::exception& error) {
        static const Log log(LogChannels::queues);
        log.error("http: completion failed: {}", error.what());
    } catch (...) {
    }
}

HttpResponse failure(std::string error) {
    HttpResponse out;
    out.error = std::move(error);
    return out;
}

// Sockets the daemon opens are close-on-exec, so no tool it runs inherits one.
curl_socket_t openCurlSocket(void*, curlsocktype, curl_sockaddr* address) {
    return openSocket(address->family, address->socktype, address->protocol);
}

}  // namespace

struct HttpSession::Transfer {
    HttpRequest request;
    Completion completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    size_t largestBody = 0;
    std::string bodyFile;
    int file = -1;  // where the body goes, when bodyFile names one
    size_t written = 0;
    std::vector<std::string> received;  // the header lines of the answer under way
    char error[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy != nullptr) curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
        if (file >= 0) ::close(file);
    }

    static size_t take(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        size_t length = size * count;
        if (transfer->file >= 0) {
            if ((transfer->written += length) > transfer->largestBody) return 0;
            return Files::writeAll(transfer->file, std::string_view(data, length)) ? length : 0;
        }
        if (transfer->body.size() + length > transfer->largestBody) return 0;  // ends it
        transfer->body.append(data, length);
        return length;
    }

    // Each answer's header lines; a status line starts the next answer (after a redirect).
    static size_t header(char* data, size_t size, size_t count, void* self) {
        auto* transfer = static_cast<Transfer*>(self);
        std::string_view line(data, size * count);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
        if (line.starts_with("HTTP/")) {
            transfer->received.clear();
        } else if (line.find(':') != std::string_view::npos) {
            transfer->received.emplace_back(line);
        }
        return size * count;
    }

    // A configured easy handle, or false with the reason in error.
    bool prepare(const Limits& set) {
        easy = curl_easy_init();
        if (easy == nullptr) return false;
        if (!bodyFile.empty()) {
            file = ::open(bodyFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (file < 0) return false;
        }
        largestBody = set.largestBody;
        for (const auto& header : request.headers) headers = curl_slist_append(headers, header.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        if (request.method == "POST") {
            curl_easy_setopt(easy, CURLOPT_POST, 1L);
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        } else if (request.method != "GET") {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::take);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        if (set.followRedirects) {
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
            curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 5L);
            curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        }
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &openCurlSocket);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
        auto idle = static_cast<long>(set.idle.count());
        curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, idle);
        // Less than a byte a second for the idle limit: nothing received for that long.
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, idle);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT, static_cast<long>(set.total.count()));
        return true;
    }

    HttpResponse response(CURLcode result) {
        HttpResponse out;
        if (result == CURLE_OK) {
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &out.status);
            out.headers = std::move(received);
            out.body = std::move(body);
        } else {
            out.error = error[0] != '\0' ? error : curl_easy_strerror(result);
        }
        return out;
    }
};

struct HttpSession::Driver {
    CURLM* multi = curl_multi_init();
    std::map<CURL*, std::unique_ptr<Transfer>> active;

    ~Driver() {
        for (auto& [easy, transfer] : active) curl_multi_remove_handle(multi, easy);
        active.clear();
        curl_multi_cleanup(multi);
    }
};

HttpSession::HttpSession(Limits sessionLimits) : limits(sessionLimits) {
    initialiseCurlOnce();
    driver = std::make_unique<Driver>();
    curl_multi_setopt(driver->multi, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
    curl_multi_setopt(driver->multi, CURLMOPT_MAX_HOST_CONNECTIONS, limits.connectionsPerHost);
    worker = std::thread([this] {
        if (limits.priority == Limits::Priority::idle) Threads::runWhenIdle();
        if (limits.priority == Limits::Priority::background) Threads::runInBackground();
        Driver& d = *driver;
        for (;;) {
            std::vector<std::unique_ptr<Transfer>> taken;
            {
                std::lock_guard lock(mutex);
                if (stopping) break;
                // A transfer holds curl's buffers: only so many at once, the rest wait.
                while (!incoming.empty() && d.active.size() + taken.size() < limits.inFlight) {
                    taken.push_back(std::move(incoming.front()));
                    incoming.pop_front();
                }
            }
            for (auto& transfer : taken) {
                if (!transfer->prepare(limits) || curl_multi_add_handle(d.multi, transfer->easy) != CURLM_OK) {
                    complete(transfer->completion, failure("could not start the request"));
                    continue;
                }
                CURL* easy = transfer->easy;
                d.active.emplace(easy, std::move(transfer));
            }
            int running = 0;
            curl_multi_perform(d.multi, &running);
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(d.multi, &left)) {
                if (message->msg != CURLMSG_DONE) continue;
                auto found = d.active.find(message->easy_handle);
                if (found == d.active.end()) continue;
                std::unique_ptr<Transfer> transfer = std::move(found->second);
                d.active.erase(found);
                curl_multi_remove_handle(d.multi, transfer->easy);
                complete(transfer->completion, transfer->response(message->data.result));
            }
            // Requests waiting for a free place start at once, not at the next activity.
            bool waiting;
            {
                std::lock_guard lock(mutex);
                waiting = !incoming.empty() && d.active.size() < limits.inFlight;
            }
            if (!waiting) curl_multi_poll(d.multi, nullptr, 0, 1000, nullptr);
        }
        // Shut down: what is still pending ends with an error, once.
        for (auto& [easy, transfer] : d.active) {
            curl_multi_remove_handle(d.multi, easy);
            complete(transfer->completion, failure("session shut down"));
        }
        d.active.clear();
    });
}

HttpSession::~HttpSession() {
    shutdown();
    if (worker.joinable()) worker.detach();  // destroyed from its own completion
}

void HttpSession::start(HttpRequest request, Completion completion) {
    startToFile(std::move(request), {}, std::move(completion));
}

void HttpSession::startToFile(HttpRequest request, std::string file, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->bodyFile = std::move(file);
    transfer->completion = std::move(completion);
    {
        std::lock_guard lock(mutex);
        if (!stopping) {
            incoming.push_back(std::move(transfer));
            curl_multi_wakeup(driver->multi);
            return;
        }
    }
    complete(transfer->completion, failure("session shut down"));
}

void HttpSession::shutdown() {
    std::deque<std::unique_ptr<Transfer>> unstarted;
    {
        std::lock_guard lock(mutex);
        if (stopping) return;
        stopping = true;
        unstarted.swap(incoming);
        curl_multi_wakeup(driver->multi);
    }
    // From a completion (the worker itself), the worker ends after it returns.
    if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
    for (auto& transfer : unstarted) {
        complete(transfer->completion, failure("session shut down"));
    }
}

}  // namespace vesk

#pragma once

#include <asio/error_code.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <exception>
#include <memory>

#include "VeskPlatform/Log.hpp"

namespace vesk {

// A wait handler that calls member on its owner once the wait succeeds, if the owner
// still exists: handlers never keep the listeners alive.
template <typename Owner>
auto whenReady(std::weak_ptr<Owner> owner, void (Owner::*member)()) {
    return [owner = std::move(owner), member](const asio::error_code& ec) {
        if (auto self = owner.lock(); self && !ec) (self.get()->*member)();
    };
}

// Calls member on the loop after what is queued there now, if the owner still exists.
template <typename Owner>
void later(asio::io_context& loop, std::weak_ptr<Owner> owner, void (Owner::*member)()) {
    asio::post(loop, [handler = whenReady(std::move(owner), member)] { handler({}); });
}

// Runs the loop until it stops; what a handler throws is logged and the loop goes on.
inline void runLoopLogged(asio::io_context& loop, const Log& log, const char* label) {
    for (;;) {
        try {
            loop.run();
            return;
        } catch (const std::exception& error) {
            log.error("{}: {}", label, error.what());
        } catch (...) {
            log.error("{}: unknown exception", label);
        }
    }
}

}  // namespace vesk

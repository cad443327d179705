// The idle connections of one network file system (FTP, WebDAV): each operation takes one, or
// opens a new one when none is left, and gives it back when it is still good. The newest is
// taken first, so the one most likely to be alive is tried first.
#pragma once

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kv {

template <typename TClient>
class TKvIdlePool {
public:
    explicit TKvIdlePool(size_t AMax) : FMax(AMax) {}

    // The newest idle connection that AUsable accepts, or null. AUsable runs outside the lock
    // (it may ask the server); the connections it refuses are closed.
    template <typename TUsable>
    std::unique_ptr<TClient> Take(TUsable&& AUsable) {
        for (;;) {
            std::unique_ptr<TClient> client;
            {
                std::lock_guard lock(FLock);
                if (FIdle.empty())
                    return nullptr;
                client = std::move(FIdle.back());
                FIdle.pop_back();
            }
            if (AUsable(*client))
                return client;
        }
    }

    // Kept when fewer than the most are idle; closed otherwise.
    void Give(std::unique_ptr<TClient> AClient) {
        std::lock_guard lock(FLock);
        if (FIdle.size() < FMax)
            FIdle.push_back(std::move(AClient));
    }

    // Every idle connection, oldest first, for a look at each outside the lock; the good ones
    // are given back.
    std::vector<std::unique_ptr<TClient>> TakeAll() {
        std::lock_guard lock(FLock);
        return std::exchange(FIdle, {});
    }

    size_t Count() const {
        std::lock_guard lock(FLock);
        return FIdle.size();
    }

private:
    mutable std::mutex FLock;
    std::vector<std::unique_ptr<TClient>> FIdle;
    const size_t FMax;
};

} // namespace kv

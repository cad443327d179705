#include "Kv.Transfer.Partials.h"

#include <map>
#include <mutex>

namespace kv {

namespace {

struct TStore {
    std::mutex Lock;
    std::map<std::string, TKvPartial> Partials;
};

TStore& Store() {
    static TStore store;
    return store;
}

std::string KeyOf(const std::string& ADestFs, const std::string& ATarget) {
    return ADestFs + '\n' + ATarget;
}

} // namespace

void RememberPartial(const std::string& ADestFs, const std::string& ATarget, const TKvPartial& APartial) {
    std::lock_guard lock(Store().Lock);
    Store().Partials[KeyOf(ADestFs, ATarget)] = APartial;
}

bool FindPartial(const std::string& ADestFs, const std::string& ATarget, TKvPartial& APartial) {
    std::lock_guard lock(Store().Lock);
    auto it = Store().Partials.find(KeyOf(ADestFs, ATarget));
    if (it == Store().Partials.end())
        return false;
    APartial = it->second;
    return true;
}

void ForgetPartial(const std::string& ADestFs, const std::string& ATarget) {
    std::lock_guard lock(Store().Lock);
    Store().Partials.erase(KeyOf(ADestFs, ATarget));
}

} // namespace kv

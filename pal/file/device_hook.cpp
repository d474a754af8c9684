#include "pal/file/device_hook.h"

#include <strings.h>

#include <map>
#include <mutex>

namespace pal {

namespace {

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, DeviceOpener, CaseLess> openers;
};

Registry& TheRegistry() {
    static Registry* r = new Registry();  // providers may register from static constructors
    return *r;
}

bool Matches(const std::string& pattern, const std::string& name) {
    if (!pattern.empty() && pattern.back() == '*')
        return name.size() >= pattern.size() - 1 && strncasecmp(name.c_str(), pattern.c_str(), pattern.size() - 1) == 0;
    return strcasecmp(pattern.c_str(), name.c_str()) == 0;
}

}  // namespace

void RegisterDeviceOpener(const std::string& pattern, DeviceOpener opener) {
    if (pattern.empty()) return;
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.mutex);
    if (opener)
        r.openers[pattern] = std::move(opener);
    else
        r.openers.erase(pattern);
}

DeviceOpener FindDeviceOpener(const std::string& name) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> g(r.mutex);
    const DeviceOpener* best = nullptr;
    size_t bestLen = 0;
    for (const auto& [pattern, opener] : r.openers) {
        if (!Matches(pattern, name)) continue;
        // An exact name beats a prefix of the same length.
        size_t len = pattern.size() * 2 + (pattern.back() == '*' ? 0 : 1);
        if (!best || len > bestLen) {
            best = &opener;
            bestLen = len;
        }
    }
    return best ? *best : DeviceOpener{};
}

}  // namespace pal

#include "host/NotificationCenter.h"

#include <algorithm>
#include <mutex>
#include <vector>

struct NSNotificationCenter::Registration {
    const void* observer;
    Selector selector;
    std::string name;
    const void* object;
};

struct NSNotificationCenter::State {
    mutable std::mutex mutex;
    std::vector<Registration> registrations;
};

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
    static NSNotificationCenter center;
    return center;
}

NSNotificationCenter::State& NSNotificationCenter::state() const {
    static State state;
    return state;
}

void NSNotificationCenter::addObserver(const void* observer, Selector selector,
                                       const std::string& name, const void* object) {
    if (!selector) return;
    std::lock_guard lock(state().mutex);
    state().registrations.push_back({observer, std::move(selector), name, object});
}

void NSNotificationCenter::removeObserver(const void* observer) {
    std::lock_guard lock(state().mutex);
    auto& regs = state().registrations;
    regs.erase(std::remove_if(regs.begin(), regs.end(),
                              [&](const Registration& r) { return r.observer == observer; }),
               regs.end());
}

void NSNotificationCenter::postNotificationName(const std::string& name, const void* object) {
    // Selectors run outside the lock: they may post or register themselves.
    std::vector<Selector> selectors;
    {
        std::lock_guard lock(state().mutex);
        for (const Registration& r : state().registrations) {
            if ((r.name.empty() || r.name == name) && (r.object == nullptr || r.object == object))
                selectors.push_back(r.selector);
        }
    }
    const NSNotification notification{name, object};
    for (const Selector& selector : selectors) selector(notification);
}

std::size_t NSNotificationCenter::observerCount() const {
    std::lock_guard lock(state().mutex);
    return state().registrations.size();
}

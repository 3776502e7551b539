// Foundation's notification center stand-in: observers by notification name,
// delivered synchronously on the posting thread.
#pragma once

#include <functional>
#include <string>

// Posted by the host application (prefhost) just before it exits.
inline constexpr const char* NSApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";

struct NSNotification {
    std::string name;
    const void* object = nullptr;  // the poster's object, or nullptr
};

class NSNotificationCenter {
public:
    using Selector = std::function<void(const NSNotification&)>;

    // One center per process; it lives in the shared host library, so a
    // module and the program that loaded it see the same center.
    static NSNotificationCenter& defaultCenter();

    // `selector` runs for every notification called `name` (an empty name:
    // every notification) whose object is `object` (nullptr: any object).
    void addObserver(const void* observer, Selector selector, const std::string& name,
                     const void* object = nullptr);
    // Drops every registration of `observer`. Objects that go away call it so
    // that nothing is ever delivered to a destroyed observer.
    void removeObserver(const void* observer);
    // Delivers to the observers in the order they registered. An observer
    // added or removed while delivering does not change this delivery.
    void postNotificationName(const std::string& name, const void* object = nullptr);

    std::size_t observerCount() const;

private:
    NSNotificationCenter() = default;
    struct Registration;
    struct State;
    State& state() const;
};

// The dead-man of jogs over HTTP. An HTTP request leaves no connection behind whose loss would
// tell that the hand left the stick, so a jog over HTTP is held by refresh: each bundle jogged
// over HTTP is let go when no deflected joystickMove for it came within kPatience. One thread
// for all bundles, asleep while no deadline is set; the callers arm it from the network threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kinetra::gateway {

/// Deadlines per bundle command path, each set anew by the next deflected jog for that path.
/// Thread-safe; the lapse callback runs on the refresh thread (or the thread calling stop()).
class JogRefresh {
public:
    /// How long a jog lasts without another deflected joystickMove for its bundle.
    static constexpr std::chrono::milliseconds kPatience{500};

    /// Called once per lapse with the bundle's path and the address of the client whose jog
    /// came last; it sends whatever stop is owed (maybe none: the jog may have been stopped).
    using Lapse = std::function<void(const std::string& path, const std::string& client)>;

    /// Starts the thread; `lapse` must be thread-safe and outlive this object.
    explicit JogRefresh(Lapse lapse, std::chrono::milliseconds patience = kPatience);
    /// Stops (see stop()).
    ~JogRefresh();
    JogRefresh(const JogRefresh&) = delete;
    JogRefresh& operator=(const JogRefresh&) = delete;

    /// A deflected jog for `path` came from `client` now: its deadline moves to now + patience.
    /// Ignored after stop().
    void arm(std::string_view path, std::string client);

    /// Lets every armed bundle go at once (the server is stopping: nobody holds a stick any
    /// more), then ends the thread. Idempotent.
    void stop();

    /// Bundles with a deadline set (tests).
    std::size_t armedCount() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Due {
        Clock::time_point deadline;
        std::string client;
    };

    void run(std::stop_token stop);

    const Lapse lapse_;
    const std::chrono::milliseconds patience_;
    mutable std::mutex mutex_;  // guards due_, stopped_
    std::condition_variable_any changed_;
    std::map<std::string, Due, std::less<>> due_;
    bool stopped_ = false;
    std::jthread thread_;  // last: joined before the members it uses go
};

}  // namespace kinetra::gateway

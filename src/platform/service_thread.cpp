// The service thread's run: name, body, catch-all, pause and again or end. The failure policy
// runs on the service thread itself; the fault hook is shared by every thread.
#include "platform/service_thread.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <vector>

#include <spdlog/spdlog.h>

#include "platform/thread_name.hpp"

namespace kinetra::platform {
namespace {

std::mutex noticeMutex;  // guards endNotice
std::function<void(const std::string&)> endNotice;

std::atomic<std::size_t> faultsArmed{0};  // faultTargets.size(), read without the lock
std::mutex faultMutex;                    // guards faultTargets
std::vector<std::string> faultTargets;

// The name of the service thread running on this thread, for faultPoint.
thread_local const std::string* currentThreadName = nullptr;

void tellUser(const std::string& text) {
    std::function<void(const std::string&)> notice;
    {
        std::lock_guard lock(noticeMutex);
        notice = endNotice;
    }
    if (notice) {
        notice(text);
    }
}

}  // namespace

ServiceThread::~ServiceThread() {
    stop();
}

void ServiceThread::start(ThreadOptions options, Body body) {
    if (thread_.joinable() || stop_.isSet()) {
        return;
    }
    options_ = std::move(options);
    if (options_.service.empty()) {
        options_.service = options_.name;
    }
    options_.firstPause = std::max(options_.firstPause, std::chrono::milliseconds(1));
    options_.longestPause = std::max(options_.longestPause, options_.firstPause);
    body_ = std::move(body);
    // Running from before the thread exists, so that a body ending at once is not overwritten;
    // and not running when the thread could not be made (out of threads or memory).
    running_ = true;
    try {
        thread_ = std::jthread([this](std::stop_token stop) { run(std::move(stop)); });
    } catch (...) {
        running_ = false;
        throw;
    }
}

void ServiceThread::requestStop() noexcept {
    stop_.set();
    thread_.request_stop();
}

void ServiceThread::stop() {
    requestStop();
    join();
}

void ServiceThread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void ServiceThread::run(std::stop_token stop) {
    nameThisThread(options_.name);
    currentThreadName = &options_.name;
    auto pause = options_.firstPause;
    for (;;) {
        const auto began = std::chrono::steady_clock::now();
        std::string what;
        try {
            body_(stop);
            break;
        } catch (const std::exception& error) {
            what = error.what();
        } catch (const InjectedFault&) {
            what = "a fault injected by a test";
        } catch (...) {
            what = "an exception of unknown type";
        }
        ++failures_;
        if (!recover(what, pause, std::chrono::steady_clock::now() - began)) {
            break;
        }
    }
    currentThreadName = nullptr;
    running_ = false;
}

bool ServiceThread::recover(const std::string& what, std::chrono::milliseconds& pause,
                            std::chrono::steady_clock::duration ran) {
    if (stop_.isSet()) {
        // Failing while it is being stopped (its sockets closing under it) is part of stopping.
        spdlog::debug("{0} ended while stopping: {1}", options_.service, what);
        return false;
    }
    if (options_.onFailure == OnFailure::end) {
        spdlog::error("{0} stopped after an error: {1}", options_.service, what);
        tellUser(options_.service +
                 " stopped after an error and stays off until the server restarts.");
        if (options_.afterEnd) {
            try {
                options_.afterEnd();
            } catch (const std::exception& error) {
                spdlog::error("{0}: {1}", options_.service, error.what());
            }
        }
        return false;
    }
    // A body that ran well for a while before failing is not failing over and over.
    if (ran >= options_.longestPause) {
        pause = options_.firstPause;
    }
    spdlog::error("{0} failed: {1}; running it again in {2} ms", options_.service, what,
                  pause.count());
    if (!stop_.waitFor(pause)) {
        return false;
    }
    pause = std::min(pause * 2, options_.longestPause);
    return true;
}

void setServiceEndNotice(std::function<void(const std::string& text)> notice) {
    std::lock_guard lock(noticeMutex);
    endNotice = std::move(notice);
}

void injectFault(std::string_view threadName) {
    std::lock_guard lock(faultMutex);
    faultTargets.emplace_back(threadName);
    faultsArmed = faultTargets.size();
}

void faultPoint() {
    if (faultsArmed.load(std::memory_order_relaxed) == 0 || currentThreadName == nullptr) {
        return;
    }
    std::lock_guard lock(faultMutex);
    const auto found = std::find(faultTargets.begin(), faultTargets.end(), *currentThreadName);
    if (found == faultTargets.end()) {
        return;
    }
    faultTargets.erase(found);
    faultsArmed = faultTargets.size();
    throw InjectedFault{*currentThreadName};
}

}  // namespace kinetra::platform

// The asynchronous logger's queue and worker are spdlog's; this owns them and counts the drops.
#include "core/async_log.hpp"

namespace kinetra::core {

AsyncLog::AsyncLog(std::string name, spdlog::sink_ptr sink, std::size_t queueLines,
                   std::function<void()> onThreadStart)
    : pool_(std::make_shared<spdlog::details::thread_pool>(
          queueLines, 1, onThreadStart ? std::move(onThreadStart) : [] {})),
      logger_(std::make_shared<spdlog::async_logger>(
          std::move(name), std::move(sink), pool_, spdlog::async_overflow_policy::overrun_oldest)) {
}

AsyncLog::~AsyncLog() {
    close();
}

std::uint64_t AsyncLog::dropped() const {
    std::lock_guard lock(mutex_);
    return pool_ ? pool_->overrun_counter() : droppedAtClose_;
}

std::size_t AsyncLog::waiting() const {
    std::lock_guard lock(mutex_);
    return pool_ ? pool_->queue_size() : 0;
}

void AsyncLog::close() {
    std::shared_ptr<spdlog::details::thread_pool> pool;
    {
        std::lock_guard lock(mutex_);
        if (!pool_) {
            return;
        }
        droppedAtClose_ = pool_->overrun_counter();
        pool = std::move(pool_);
    }
    // The last reference: its destructor queues the end behind every waiting line and joins.
    pool.reset();
}

}  // namespace kinetra::core

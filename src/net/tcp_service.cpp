// TcpService: starting and stopping worker loops, on the owner's thread.
#include "net/tcp_service.hpp"

#include <stdexcept>

namespace kinetra::net {

TcpService::~TcpService() {
    stop();
}

void TcpService::start(std::size_t workers) {
    std::lock_guard lock(mutex_);
    if (!loops_.empty()) {
        throw std::logic_error("TcpService is already running");
    }
    for (std::size_t i = 0; i < std::max<std::size_t>(workers, 1); ++i) {
        auto loop = std::make_shared<EventLoop>();
        loop->start();
        loops_.push_back(std::move(loop));
    }
}

void TcpService::stop() {
    std::vector<std::shared_ptr<EventLoop>> loops;
    {
        std::lock_guard lock(mutex_);
        loops.swap(loops_);
    }
    for (const auto& loop : loops) {
        loop->stop();
    }
}

std::vector<std::shared_ptr<EventLoop>> TcpService::loops() const {
    std::lock_guard lock(mutex_);
    return loops_;
}

}  // namespace kinetra::net

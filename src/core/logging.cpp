// Runs once on the main thread before any service starts; later calls are no-ops.
#include "core/logging.hpp"

#include <memory>
#include <mutex>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace kinetra::core {

void initLogging() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto logger = spdlog::stdout_color_mt("kinetra");
        // Lines end in CR LF whatever the platform, so logs read the same everywhere.
        logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] %v", spdlog::pattern_time_type::local, "\r\n"));
        logger->set_level(spdlog::level::info);
        logger->flush_on(spdlog::level::info);
        spdlog::set_default_logger(std::move(logger));
    });
}

}  // namespace kinetra::core

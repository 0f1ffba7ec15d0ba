#include "core/clock.hpp"

#include <chrono>

namespace kinetra::core {

std::int64_t epochNanos() {
    using namespace std::chrono;
    const auto ns = duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count();
    return ns - ns % 100;
}

std::int64_t epochMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace kinetra::core

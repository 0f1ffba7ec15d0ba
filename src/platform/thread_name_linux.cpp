// Linux: pthread_setname_np on the calling thread; the kernel keeps 15 characters and a NUL.
#include <pthread.h>

#include <algorithm>
#include <array>

#include "platform/thread_name.hpp"

namespace kinetra::platform {

void nameThisThread(std::string_view name) noexcept {
    std::array<char, kMaxThreadName + 1> text{};
    const auto length = std::min(name.size(), kMaxThreadName);
    std::copy_n(name.begin(), length, text.begin());
    [[maybe_unused]] const int result = ::pthread_setname_np(::pthread_self(), text.data());
}

}  // namespace kinetra::platform

// The per-thread table of kept request sockets: reuse, discarding, and the process-wide bound.
#include <gtest/gtest.h>

#include <string>

#include "bus/socket_registry.hpp"
#include "gateway/request_sockets.hpp"

namespace kinetra::gateway {
namespace {

TEST(RequestSocket, KeepsOneSocketPerEndpointUntilDiscarded) {
    auto& context = *bus::SocketRegistry::instance().context();
    const auto before = RequestSocket::keptCount();

    auto first = RequestSocket::acquire(context, "inproc://test/kept/a", 25);
    auto again = RequestSocket::acquire(context, "inproc://test/kept/a", 25);
    EXPECT_EQ(first.socket().handle(), again.socket().handle());
    auto other = RequestSocket::acquire(context, "inproc://test/kept/b", 25);
    EXPECT_NE(first.socket().handle(), other.socket().handle());
    EXPECT_EQ(RequestSocket::keptCount(), before + 2);

    first.discard();
    EXPECT_EQ(RequestSocket::keptCount(), before + 1);
    auto fresh = RequestSocket::acquire(context, "inproc://test/kept/a", 25);
    EXPECT_NE(fresh.socket().handle(), nullptr);
    EXPECT_EQ(RequestSocket::keptCount(), before + 2);

    RequestSocket::forget("inproc://test/kept/a");
    RequestSocket::forget("inproc://test/kept/b");
    EXPECT_EQ(RequestSocket::keptCount(), before);
}

TEST(RequestSocket, KeepsNoMoreThanTheBoundAndSweepsClosedEndpointsWhenFull) {
    auto& context = *bus::SocketRegistry::instance().context();
    // None of these endpoints is open, so a full table may drop them all.
    for (int i = 0; RequestSocket::keptCount() < RequestSocket::kMaxKept; ++i) {
        RequestSocket::acquire(context, "inproc://test/many/" + std::to_string(i), 25);
    }

    auto extra = RequestSocket::acquire(context, "inproc://test/many/extra", 25);
    EXPECT_NE(extra.socket().handle(), nullptr);
    // The sweep made room: the closed endpoints' sockets went, the new one is kept.
    EXPECT_EQ(RequestSocket::keptCount(), 1U);
    RequestSocket::forget("inproc://test/many/extra");
    EXPECT_EQ(RequestSocket::keptCount(), 0U);
}

}  // namespace
}  // namespace kinetra::gateway

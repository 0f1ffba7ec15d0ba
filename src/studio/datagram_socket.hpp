// The UDP socket a studio receiver (OSC, VISCA) reads its controllers' datagrams from: bound,
// non-blocking (the receiver's own poll does the waiting), with room for a burst.
#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

namespace kinetra::studio {

/// Opens and binds a socket on `local`; throws asio's system_error when it cannot.
asio::ip::udp::socket openDatagramSocket(asio::io_context& io,
                                         const asio::ip::udp::endpoint& local);

}  // namespace kinetra::studio

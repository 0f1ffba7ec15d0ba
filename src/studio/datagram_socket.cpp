#include "studio/datagram_socket.hpp"

namespace kinetra::studio {
namespace {

constexpr int kReceiveBuffer = 1 << 20;

}  // namespace

asio::ip::udp::socket openDatagramSocket(asio::io_context& io,
                                         const asio::ip::udp::endpoint& local) {
    asio::ip::udp::socket socket(io);
    socket.open(local.protocol());
    socket.bind(local);
    socket.non_blocking(true);
    // Room for a burst while the receiver is off the processor (the kernel caps it at
    // net.core.rmem_max): a datagram the kernel drops is a controller's command lost.
    std::error_code ignored;
    socket.set_option(asio::socket_base::receive_buffer_size(kReceiveBuffer), ignored);
    return socket;
}

}  // namespace kinetra::studio

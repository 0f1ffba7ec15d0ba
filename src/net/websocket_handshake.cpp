// Accept value and handshake reply, with SHA-1 and Base64 from OpenSSL's libcrypto. Pure.
#include "net/websocket_handshake.hpp"

#include <array>

#include <openssl/evp.h>

namespace kinetra::net {

std::string webSocketAcceptValue(std::string_view key) {
    std::string input(key);
    input.append(kWebSocketGuid);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int digestLength = 0;
    EVP_Digest(input.data(), input.size(), digest.data(), &digestLength, EVP_sha1(), nullptr);
    // Base64 of n bytes is 4 * ceil(n / 3) characters; EVP_EncodeBlock adds a terminating NUL.
    std::array<unsigned char, 4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1> encoded{};
    const int length =
        EVP_EncodeBlock(encoded.data(), digest.data(), static_cast<int>(digestLength));
    return std::string(reinterpret_cast<const char*>(encoded.data()),
                       static_cast<std::size_t>(length));
}

std::string webSocketHandshakeReply(std::string_view key) {
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
           "Upgrade\r\nSec-WebSocket-Accept: " +
           webSocketAcceptValue(key) + "\r\n\r\n";
}

}  // namespace kinetra::net

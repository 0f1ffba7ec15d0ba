// The server side of the RFC 6455 opening handshake: the accept value and the 101 reply. Pure;
// called on a session's worker loop thread.
#pragma once

#include <string>
#include <string_view>

namespace kinetra::net {

/// The GUID RFC 6455 appends to the client's key.
inline constexpr std::string_view kWebSocketGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

/// Base64 of the SHA-1 of `key` followed by the GUID (the `Sec-WebSocket-Accept` value).
std::string webSocketAcceptValue(std::string_view key);

/// The complete 101 reply for a request whose `Sec-WebSocket-Key` is `key`.
std::string webSocketHandshakeReply(std::string_view key);

}  // namespace kinetra::net

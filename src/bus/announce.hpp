// Open and closed announcements: how a service tells the registry that its request/reply
// endpoints can (or can no longer) be reached over HTTP. Callable from any thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kinetra::bus {

/// Announces `endpoints` open, in order, on one short-lived PUSH socket. A send that would
/// block is dropped (the registry is gone only at process exit). Returns the sequence number
/// of the last announcement (see SocketRegistry::appliedSequence), 0 for none.
std::uint64_t announceOpen(std::span<const std::string> endpoints);

/// Announces `endpoints` closed, in order; returns as announceOpen does.
std::uint64_t announceClosed(std::span<const std::string> endpoints);

}  // namespace kinetra::bus

// The names this machine answers to: what a request's Host header may name. Read when a
// listener starts, on the starting thread.
#pragma once

#include <string>
#include <vector>

namespace kinetra::platform {

/// "localhost", the loopback addresses, the host name (also with ".local"), and the address of
/// every network interface, in lower case; IPv6 addresses without brackets or zone.
std::vector<std::string> localHostNames();

/// This machine's host name as the system gives it (case kept), or "localhost" when it has none.
std::string hostName();

}  // namespace kinetra::platform

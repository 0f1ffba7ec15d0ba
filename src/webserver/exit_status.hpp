// What the web application tells its launcher through its exit status. Shared by the web
// server program and the gateway's launcher, which watches for it.
#pragma once

namespace kinetra::webserver {

/// The web application could not bind its address and port. POSIX exit statuses are 8 bits, so
/// the Windows value (10013, the socket access-denied code) cannot be used; 98 is Linux's
/// "address already in use" errno, and clear of the shell's 126, 127 and 128 + signal.
inline constexpr int kBindFailureExitStatus = 98;

/// The command line was not "ADDRESS PORT".
inline constexpr int kUsageExitStatus = 2;

}  // namespace kinetra::webserver

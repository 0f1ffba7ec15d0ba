// The master side of a pseudo-terminal in raw mode, which plays the link module's end of the
// serial line, and a watch that tells when someone opens its slave side. Owned and used by the
// emulator's thread; POSIX with a Linux watch (inotify).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/bytes.hpp"

namespace kinetra::sim {

class PseudoTerminal {
public:
    /// Opens a new pseudo-terminal in raw mode; throws std::system_error when it cannot.
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    /// The path of the slave side (/dev/pts/N): what the server opens as its serial port. It
    /// stays the same until close().
    const std::string& slavePath() const { return slavePath_; }

    /// The master's descriptor, for poll; -1 once closed.
    int masterFd() const { return master_; }
    /// A descriptor that becomes readable when the slave path is opened or closed; -1 when
    /// the system offers no such watch.
    int watchFd() const { return watch_; }

    enum class ReadStatus : std::uint8_t { bytes, nothing, hungUp };
    struct ReadResult {
        ReadStatus status = ReadStatus::nothing;
        std::size_t count = 0;
    };
    /// Reads what the slave side wrote, without waiting. hungUp: nobody has the slave open.
    ReadResult read(std::span<std::uint8_t> buffer);
    /// Writes without waiting; returns how many bytes the line took (fewer when it is full).
    std::size_t write(core::ByteView bytes);
    /// Whether nobody has the slave side open (after it was opened at least once).
    bool hungUp() const;
    /// Drops every byte queued in either direction: nobody will read them.
    void discardQueued();
    /// Takes the watch's pending events.
    void drainWatch();
    /// Closes the master: whoever holds the slave sees the line end, and the path goes away.
    void close();

private:
    int master_ = -1;
    int watch_ = -1;
    std::string slavePath_;
};

/// A wake-up for a thread blocked in poll, taken back by the thread (unlike the latched stop
/// signal). Linux eventfd.
class WakeEvent {
public:
    WakeEvent();
    ~WakeEvent();
    WakeEvent(const WakeEvent&) = delete;
    WakeEvent& operator=(const WakeEvent&) = delete;

    /// Makes fd() readable. Thread-safe.
    void set() noexcept;
    /// Makes fd() unreadable again; called by the woken thread.
    void clear() noexcept;
    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace kinetra::sim

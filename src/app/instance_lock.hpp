// Single instance per user: a text file of process ids in the temporary directory. The entry
// point prunes it, checks it and registers at start (main thread), and unregisters at exit.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kinetra::app {

/// Tells whether the process with this id text is a running server instance.
using InstanceProbe = std::function<bool(std::string_view pidText)>;

/// The lines that name a running instance, in their order (the rest are stale).
std::vector<std::string> pruneStaleLines(const std::vector<std::string>& lines,
                                         const InstanceProbe& isRunningInstance);

/// The lines without those whose number equals `pid`.
std::vector<std::string> linesWithout(const std::vector<std::string>& lines, int pid);

/// The probe for this system: the id is a running process with the same program name as ours.
InstanceProbe systemInstanceProbe();

class InstanceLock {
public:
    /// `path` is the lock file; the entry point passes defaultPath().
    InstanceLock(std::string path, InstanceProbe isRunningInstance);

    /// Prunes stale ids, checks for a running instance and registers `pid`, all under an
    /// advisory file lock so that two servers starting at once cannot both pass. False when
    /// another instance runs; nothing is registered then.
    bool acquire(int pid);

    /// Removes `pid`'s line, keeping every other line in its order.
    void release(int pid);

    /// The temporary directory's text followed directly by "/MyLockFile".
    static std::string defaultPath();

private:
    std::string path_;
    InstanceProbe isRunningInstance_;
};

}  // namespace kinetra::app

#include "app/instance_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "platform/process.hpp"

namespace kinetra::app {
namespace {

// An open lock file held under flock for one read-modify-write.
class LockedFile {
public:
    explicit LockedFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) < 0 && errno == EINTR) {
            }
        }
    }
    ~LockedFile() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }

    std::vector<std::string> readLines() const {
        std::string text;
        char buffer[4096];
        ::lseek(fd_, 0, SEEK_SET);
        for (;;) {
            const auto count = ::read(fd_, buffer, sizeof(buffer));
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            text.append(buffer, static_cast<std::size_t>(count));
        }
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < text.size()) {
            auto end = text.find('\n', start);
            if (end == std::string::npos) {
                end = text.size();
            }
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    void writeLines(const std::vector<std::string>& lines) const {
        std::string text;
        for (const auto& line : lines) {
            text += line + '\n';
        }
        if (::ftruncate(fd_, 0) != 0) {
            return;
        }
        ::lseek(fd_, 0, SEEK_SET);
        std::size_t written = 0;
        while (written < text.size()) {
            const auto count = ::write(fd_, text.data() + written, text.size() - written);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                return;
            }
            written += static_cast<std::size_t>(count);
        }
    }

private:
    int fd_;
};

std::optional<int> parsePid(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::vector<std::string> pruneStaleLines(const std::vector<std::string>& lines,
                                         const InstanceProbe& isRunningInstance) {
    std::vector<std::string> kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                 [&](const std::string& line) { return isRunningInstance(line); });
    return kept;
}

std::vector<std::string> linesWithout(const std::vector<std::string>& lines, int pid) {
    std::vector<std::string> kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                 [&](const std::string& line) { return parsePid(line) != pid; });
    return kept;
}

// An id alone is not enough on Linux, where ids are reused quickly: an unrelated process that
// got a dead server's id would otherwise keep every new server from starting. A listed id is a
// running instance only when that process runs our own program.
InstanceProbe systemInstanceProbe() {
    const auto ownName = platform::processName(platform::currentProcessId());
    return [ownName](std::string_view pidText) {
        const auto pid = parsePid(pidText);
        if (!pid || std::to_string(*pid) != pidText || *pid <= 0) {
            return false;
        }
        const auto name = platform::processName(*pid);
        return name.has_value() && name == ownName;
    };
}

InstanceLock::InstanceLock(std::string path, InstanceProbe isRunningInstance)
    : path_(std::move(path)), isRunningInstance_(std::move(isRunningInstance)) {}

bool InstanceLock::acquire(int pid) {
    LockedFile file(path_);
    if (!file.isOpen()) {
        return true;  // an unusable lock file reads as empty: the check passes
    }
    auto lines = pruneStaleLines(file.readLines(), isRunningInstance_);
    if (!lines.empty()) {
        file.writeLines(lines);
        return false;
    }
    lines.push_back(std::to_string(pid));
    file.writeLines(lines);
    return true;
}

void InstanceLock::release(int pid) {
    LockedFile file(path_);
    if (file.isOpen()) {
        file.writeLines(linesWithout(file.readLines(), pid));
    }
}

std::string InstanceLock::defaultPath() {
    return platform::temporaryDirectoryText() + "/MyLockFile";
}

}  // namespace kinetra::app

// A throw-away install tree for end-to-end tests: bin/, cfg/, res/, www/, firmware/ and a
// private TMPDIR, removed when the test ends.
#pragma once

#include <filesystem>
#include <string>

namespace kinetra::testing {

class TemporaryTree {
public:
    TemporaryTree();
    ~TemporaryTree();
    TemporaryTree(const TemporaryTree&) = delete;
    TemporaryTree& operator=(const TemporaryTree&) = delete;

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path bin() const { return root_ / "bin"; }
    std::filesystem::path tmp() const { return root_ / "tmp"; }
    std::filesystem::path lockFile() const { return tmp() / "MyLockFile"; }

    /// Writes `text` to `relative` under the root.
    void write(const std::string& relative, const std::string& text) const;
    /// The whole text of `relative`, or empty when it does not exist.
    std::string read(const std::string& relative) const;

private:
    std::filesystem::path root_;
};

}  // namespace kinetra::testing

#include "support/temporary_tree.hpp"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kinetra::testing {

TemporaryTree::TemporaryTree() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kinetra-tree-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
    for (const char* folder : {"bin", "cfg", "res", "www", "firmware", "tmp"}) {
        std::filesystem::create_directories(root_ / folder);
    }
}

TemporaryTree::~TemporaryTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void TemporaryTree::write(const std::string& relative, const std::string& text) const {
    std::ofstream(root_ / relative, std::ios::binary) << text;
}

std::string TemporaryTree::read(const std::string& relative) const {
    std::ifstream file(root_ / relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace kinetra::testing

// Case-insensitive header lookup for HttpRequest; runs wherever a request is read.
#include "net/http_request.hpp"

#include <algorithm>

namespace kinetra::net {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool HeaderNameLess::operator()(std::string_view left, std::string_view right) const {
    return std::lexicographical_compare(
        left.begin(), left.end(), right.begin(), right.end(),
        [](char a, char b) { return lowerAscii(a) < lowerAscii(b); });
}

std::string_view HttpRequest::header(std::string_view name) const {
    const auto found = headers.find(name);
    return found == headers.end() ? std::string_view{} : std::string_view{found->second};
}

}  // namespace kinetra::net

// libFuzzer target: arbitrary bytes through the request parser, in two pieces split where the
// first byte says, the way a socket may deliver them. Requests come out one at a time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "net/http_parser.hpp"

using kinetra::net::HTTPParser;

namespace {

// Feeds `text` until it is used up or the parser refuses it; returns false on a broken count.
bool feedAll(HTTPParser& parser, std::string_view text) {
    while (!text.empty()) {
        const auto result = parser.feed(text);
        if (result.consumed > text.size()) {
            return false;
        }
        if (result.status == HTTPParser::Status::complete) {
            const auto request = parser.takeRequest();
            if (request.path.size() > request.url.size()) {
                return false;
            }
            if (parser.switchesProtocol()) {
                return true;  // the rest belongs to another protocol
            }
        } else if (result.status == HTTPParser::Status::error) {
            return true;
        }
        text.remove_prefix(result.consumed);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::size_t split = size == 0 ? 0 : data[0] % (size + 1);
    HTTPParser parser;
    if (!feedAll(parser, text.substr(0, split)) || !feedAll(parser, text.substr(split))) {
        std::abort();
    }
    return 0;
}

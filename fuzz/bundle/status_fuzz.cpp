// Fuzzes the status decoder and the status JSON with arbitrary status messages. Single-threaded.
#include <cstddef>
#include <cstdint>

#include "bundle/status_decoder.hpp"
#include "bundle/status_json.hpp"
#include "core/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const kinetra::core::ByteView message(data, size);
    const auto snapshot = kinetra::bundle::decodeStatus(message);
    if (!snapshot) {
        if (size >= 79) {
            __builtin_trap();  // every message of the full layout decodes
        }
        return 0;
    }
    if (snapshot->deviceCount > 5) {
        __builtin_trap();
    }
    const auto status = kinetra::bundle::statusToJson(*snapshot, 1733480000000);
    const auto text = kinetra::core::dumpCompact(status);
    if (text.empty() || !status["deviceInfo"].is_array() || !status["supportedAxes"].is_array()) {
        __builtin_trap();
    }
    return 0;
}

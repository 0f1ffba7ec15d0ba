// Feeds arbitrary bytes to the config.ini reader and checks what it promises: null or an object
// of null-or-object sections, lower-case names, string values, and a dump that never throws.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "settings/ini_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kinetra::json;
    const auto parsed =
        kinetra::config::parseIni(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!parsed.is_null() && !parsed.is_object()) {
        __builtin_trap();
    }
    if (parsed.is_object()) {
        for (const auto& [name, section] : parsed.items()) {
            for (const char c : name) {
                if (c >= 'A' && c <= 'Z') {
                    __builtin_trap();
                }
            }
            if (!section.is_null() && !section.is_object()) {
                __builtin_trap();
            }
            if (section.is_object()) {
                for (const auto& [key, value] : section.items()) {
                    if (!value.is_string() || key.find_first_of("\r\n") != std::string::npos) {
                        __builtin_trap();
                    }
                }
            }
        }
    }
    (void)parsed.dump(-1, ' ', false, json::error_handler_t::replace);
    return 0;
}

// Fuzzes the reader of the link record's scanner form: any text, parsed leniently, must either
// be refused with a JSON error or read into a record that writes back to the same record.
// Single-threaded.
#include <cstddef>
#include <cstdint>

#include "core/json.hpp"
#include "model/link_info.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using kinetra::json;
    const auto form = json::parse(data, data + size, nullptr, false);
    if (form.is_discarded()) {
        return 0;
    }
    kinetra::model::LinkInfo link;
    try {
        link = kinetra::model::linkInfoFromScannerJson(form);
    } catch (const json::exception&) {
        return 0;
    }
    const auto written = kinetra::model::toScannerJson(link);
    if (kinetra::model::linkInfoFromScannerJson(written) != link) {
        __builtin_trap();
    }
    (void)kinetra::core::dumpCompact(kinetra::model::toListJson(link));
    return 0;
}

#pragma once
// The 21 supported models as plain data, without Qt, so that code outside the
// Qt programs (the scan daemon's tools, the scanner backend, the build's
// generators) reads the same rows as the Qt look-ups in ModelTable.h.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace ruvo_models {

struct ModelRow {
    const char *code;   // capital letters and digits
    uint16_t productId;
};

// Every model carries the maker's one USB vendor id.
inline constexpr uint16_t kVendorId = 0x7A3E;
inline constexpr std::string_view kBrand = "Ruvo";

// The K40 series comes first. A code carries a capital N exactly when the model
// has a network interface (codes ending in N, DN or ADN).
inline constexpr std::array<ModelRow, 21> kModels = {{
    {"K400", 0x0401},   {"K400N", 0x0402},  {"K401D", 0x0403},
    {"K401DN", 0x0404}, {"K402ADN", 0x0405},
    {"M200", 0x0411},   {"M200N", 0x0412},  {"M201D", 0x0413},
    {"M201DN", 0x0414}, {"M220ADN", 0x0415},
    {"P300", 0x0421},   {"P300D", 0x0422},  {"P310DN", 0x0423},
    {"P320N", 0x0424},
    {"L500", 0x0431},   {"L500D", 0x0432},  {"L510DN", 0x0433},
    {"L520ADN", 0x0434},
    {"C600", 0x0441},   {"C600D", 0x0442},  {"C610DN", 0x0443},
}};

// "Ruvo " + code.
std::string DisplayName(const ModelRow &row);
// "Ruvo_" + code + ".ppd".
std::string DriverFileName(const ModelRow &row);
// The row whose display name equals `displayName` regardless of ASCII letter
// case (the first such row), or nullptr.
const ModelRow *FindByDisplayName(std::string_view displayName);
// The row with these USB ids, or nullptr.
const ModelRow *FindByUsbIds(uint16_t vendorId, uint16_t productId);

} // namespace ruvo_models

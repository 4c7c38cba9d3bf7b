#include "model_rows.h"

namespace ruvo_models {

namespace {

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

} // namespace

std::string DisplayName(const ModelRow &row)
{
    return std::string(kBrand) + " " + row.code;
}

std::string DriverFileName(const ModelRow &row)
{
    return std::string(kBrand) + "_" + row.code + ".ppd";
}

const ModelRow *FindByDisplayName(std::string_view displayName)
{
    for (const ModelRow &row : kModels) {
        if (EqualIgnoringAsciiCase(displayName, DisplayName(row)))
            return &row;
    }
    return nullptr;
}

const ModelRow *FindByUsbIds(uint16_t vendorId, uint16_t productId)
{
    if (vendorId != kVendorId)
        return nullptr;
    for (const ModelRow &row : kModels) {
        if (row.productId == productId)
            return &row;
    }
    return nullptr;
}

} // namespace ruvo_models

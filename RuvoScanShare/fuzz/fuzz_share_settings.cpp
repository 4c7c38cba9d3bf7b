// A client's ScanSettings and request path: any bytes, never a crash, and a
// request that passes the checks always names a region inside the scan area.
#include "escl.h"
#include "share_rules.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view text(reinterpret_cast<const char *>(data), size);
    ruvo_share::Route route = ruvo_share::ParseRoute(text);
    if (route.endpoint == ruvo_share::Endpoint::None && (!route.scanner.empty() || !route.job.empty()))
        std::abort();
    std::optional<ruvo_share::ScanRequest> request = ruvo_share::ParseScanSettings(text);
    if (!request)
        return 0;
    ruvo_share::ScannerDescription scanner;
    scanner.formats = {"image/jpeg", "image/png"};
    scanner.platen = {true, 2550, 3508, {75, 150, 300, 600, 1200}};
    scanner.feeder = {true, 2550, 4200, {75, 150, 300, 600}};
    if (!ruvo_share::CheckRequest(scanner, *request).empty())
        return 0;
    const auto &source = request->source == ruvo_share::Source::Platen ? scanner.platen : scanner.feeder;
    if (request->xOffset + request->width > source.maxWidth || request->yOffset + request->height > source.maxHeight)
        std::abort();
    ruvo_share::PixelRegion region = ruvo_share::ToPixels(*request);
    if (region.width == 0 || region.height == 0 || region.width > 2550 * 4 || region.height > 4200 * 4)
        std::abort();
    return 0;
}

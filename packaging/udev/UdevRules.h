#pragma once
// The udev rules that give the USB devices of the supported models to the
// people and the service that use them, generated from the model table so a
// model added there is covered here without a second list to keep.
#include "model_rows.h"

#include <string>
#include <string_view>

namespace ruvo_udev {

// One rule line per model of `kModels`, each matching the USB device node of
// exactly that vendor and product id and:
//  - tagging it "uaccess", so the user logged in at the seat may open it (the
//    network tool, the firmware updater, a scanning front end);
//  - giving it to `group`, the scan daemon's service account, read and write;
//  - on the models that scan (CanScan), marking it ENV{libsane_matched}="yes",
//    so SANE's own rules treat it as a scanner and give it to the scanner
//    group; a printer without a scanner is never handed out that way.
std::string BuildUdevRules(std::string_view group);

// The multifunction models, whose scanner the scan daemon drives: those with
// the automatic document feeder, whose codes carry a capital A (they end in
// ADN, like K402ADN); the others are printers only.
bool CanScan(const ruvo_models::ModelRow &row);

// The rule line of one model.
std::string RuleLine(const ruvo_models::ModelRow &row, std::string_view group);

// Four lower-case hex digits, as udev shows idVendor and idProduct.
std::string UsbIdText(uint16_t id);

// The AppStream metadata naming the same devices as modalias patterns
// ("usb:v7A3Ep0401d*"), so software centres offer the package for them.
std::string BuildAppStreamMetainfo();
inline constexpr char c_szAppStreamId[] = "com.ruvo.k40_series_printer";

} // namespace ruvo_udev

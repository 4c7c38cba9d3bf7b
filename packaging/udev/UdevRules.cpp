#include "UdevRules.h"

namespace ruvo_udev {

std::string UsbIdText(uint16_t id)
{
    static const char c_szHex[] = "0123456789abcdef";
    std::string text(4, '0');
    for (int i = 3; i >= 0; --i) {
        text[static_cast<size_t>(i)] = c_szHex[id & 0x0f];
        id = static_cast<uint16_t>(id >> 4);
    }
    return text;
}

bool CanScan(const ruvo_models::ModelRow &row)
{
    return std::string_view(row.code).find('A') != std::string_view::npos;
}

std::string RuleLine(const ruvo_models::ModelRow &row, std::string_view group)
{
    std::string line = "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"";
    line += UsbIdText(ruvo_models::kVendorId);
    line += "\", ATTR{idProduct}==\"";
    line += UsbIdText(row.productId);
    line += "\", GROUP=\"";
    line += group;
    // 0664 keeps what every other USB device allows others (reading the
    // descriptors); the group gets write access on top.
    line += "\", MODE=\"0664\", TAG+=\"uaccess\"";
    if (CanScan(row))
        line += ", ENV{libsane_matched}=\"yes\"";
    return line;
}

std::string BuildUdevRules(std::string_view group)
{
    std::string text =
        "# Ruvo K40 series printer suite: access to the USB devices of the supported\n"
        "# models. Generated from the model table when the suite is built; edits are\n"
        "# lost with the next package update.\n"
        "#\n"
        "# uaccess: the user logged in at the seat may open the device (network tool,\n"
        "# firmware updater, scanning front ends). GROUP: the scan daemon's service\n"
        "# account. libsane_matched (the models with a scanner only): SANE's access\n"
        "# rules treat the device as a scanner.\n"
        "# The file sorts before the rules that act on these marks: SANE's (which keep\n"
        "# a scanner awake and give it to the scanner group) and 70-uaccess.rules.\n"
        "\n"
        "ACTION==\"remove\", GOTO=\"ruvo_k40_series_end\"\n"
        "\n";
    for (const ruvo_models::ModelRow &row : ruvo_models::kModels) {
        text += "# ";
        text += ruvo_models::DisplayName(row);
        text += "\n";
        text += RuleLine(row, group);
        text += "\n";
    }
    text += "\nLABEL=\"ruvo_k40_series_end\"\n";
    return text;
}

std::string BuildAppStreamMetainfo()
{
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- Generated from the model table when the suite is built. -->\n"
        "<component type=\"driver\">\n"
        "  <id>";
    text += c_szAppStreamId;
    text += "</id>\n"
            "  <metadata_license>FSFAP</metadata_license>\n"
            "  <project_license>LicenseRef-proprietary</project_license>\n"
            "  <name>Ruvo K40 series printer suite</name>\n"
            "  <summary>Status monitor, network setup, firmware updates and scanning for Ruvo printers</summary>\n"
            "  <description>\n"
            "    <p>Desktop and system programs for Ruvo laser printers and multifunction devices.</p>\n"
            "  </description>\n"
            "  <provides>\n";
    for (const ruvo_models::ModelRow &row : ruvo_models::kModels) {
        std::string vendor = UsbIdText(ruvo_models::kVendorId);
        std::string product = UsbIdText(row.productId);
        for (std::string *id : {&vendor, &product}) {
            for (char &c : *id)
                c = (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        text += "    <modalias>usb:v" + vendor + "p" + product + "d*</modalias>\n";
    }
    text += "  </provides>\n"
            "</component>\n";
    return text;
}

} // namespace ruvo_udev

// The generated udev rules cover exactly the models of the table, each with the
// three grants, and nothing else. The rule text is read back with a parser of
// its own, so a mistake shared with the generator cannot pass.
#include "UdevRules.h"
#include "model_rows.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

int s_failures = 0;

void Check(bool condition, const std::string &what)
{
    if (!condition) {
        std::printf("FAIL: %s\n", what.c_str());
        ++s_failures;
    }
}

struct Rule {
    std::map<std::string, std::string> matches;     // key == value
    std::map<std::string, std::string> assignments; // key = value, key += value
};

// Splits one rule line into its comma-separated "KEY op "value"" parts.
bool ParseRule(const std::string &line, Rule &rule)
{
    static const std::regex part(R"re(\s*([A-Za-z_]+(?:\{[A-Za-z_]+\})?)\s*(==|!=|\+=|=)\s*"([^"]*)"\s*(,|$))re");
    auto begin = std::sregex_iterator(line.begin(), line.end(), part);
    size_t consumed = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        if (static_cast<size_t>(it->position()) != consumed)
            return false;
        consumed += static_cast<size_t>(it->length());
        const std::string key = (*it)[1], op = (*it)[2], value = (*it)[3];
        if (op == "==")
            rule.matches[key] = value;
        else if (op == "+=")
            rule.assignments[key + "+"] = value;
        else if (op == "=")
            rule.assignments[key] = value;
        else
            rule.matches[key + "!"] = value;
    }
    return consumed == line.size() && consumed > 0;
}

std::vector<std::string> RuleLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
    }
    return lines;
}

// The table's devices as (vendor, product), lower-case hex, written out here.
std::set<std::pair<std::string, std::string>> TableDevices()
{
    std::set<std::pair<std::string, std::string>> devices;
    for (const ruvo_models::ModelRow &row : ruvo_models::kModels) {
        char vendor[8], product[8];
        std::snprintf(vendor, sizeof vendor, "%04x", ruvo_models::kVendorId);
        std::snprintf(product, sizeof product, "%04x", row.productId);
        devices.insert({vendor, product});
    }
    return devices;
}

void CoversExactlyTheTable()
{
    const std::string text = ruvo_udev::BuildUdevRules("_ruvoscan");
    std::set<std::pair<std::string, std::string>> devices;
    int deviceRules = 0;
    int scannerRules = 0;
    for (const std::string &line : RuleLines(text)) {
        Rule rule;
        Check(ParseRule(line, rule), "rule line parses: " + line);
        if (!rule.matches.count("ATTR{idProduct}"))
            continue;
        ++deviceRules;
        devices.insert({rule.matches["ATTR{idVendor}"], rule.matches["ATTR{idProduct}"]});
        Check(rule.matches["SUBSYSTEM"] == "usb", "matches the usb subsystem: " + line);
        Check(rule.matches["ENV{DEVTYPE}"] == "usb_device", "matches the device node, not an interface: " + line);
        Check(rule.assignments["TAG+"] == "uaccess", "tags for the seat's user: " + line);
        Check(rule.assignments["GROUP"] == "_ruvoscan", "gives the node to the daemon's group: " + line);
        Check(rule.assignments["MODE"] == "0664", "group may write, others only read: " + line);
        const std::string product = rule.matches["ATTR{idProduct}"];
        const bool scanner = product == "0405" || product == "0415" || product == "0434";
        if (scanner) {
            ++scannerRules;
            Check(rule.assignments["ENV{libsane_matched}"] == "yes", "marks the scanner for SANE: " + line);
        }
        Check(rule.assignments.count("ENV{libsane_matched}") == (scanner ? 1u : 0u),
              "no SANE mark on a printer without a scanner: " + line);
        Check(rule.assignments.size() == (scanner ? 4u : 3u), "grants nothing else: " + line);
    }

    const std::set<std::pair<std::string, std::string>> expected = TableDevices();
    Check(expected.size() == 21, "the table has 21 distinct models");
    Check(deviceRules == 21, "one rule per model, " + std::to_string(deviceRules) + " found");
    // K402ADN, M220ADN and L520ADN: the three models with a feeder and scanner.
    Check(scannerRules == 3, "three scanner models marked, " + std::to_string(scannerRules) + " found");
    Check(devices == expected, "the rules match exactly the table's devices");
}

void RemovalIsSkippedAndTheFileEndsItsJump()
{
    const std::vector<std::string> lines = RuleLines(ruvo_udev::BuildUdevRules("g"));
    Check(!lines.empty() && lines.front() == "ACTION==\"remove\", GOTO=\"ruvo_k40_series_end\"",
          "first rule skips removal events");
    Check(!lines.empty() && lines.back() == "LABEL=\"ruvo_k40_series_end\"", "the jump's label ends the file");
}

// The AppStream metadata names the same devices as the rules, as modalias
// patterns ("usb:v7A3Ep0401d*": upper-case hex, any device release).
void MetainfoNamesTheSameDevices()
{
    const std::string text = ruvo_udev::BuildAppStreamMetainfo();
    static const std::regex modalias("<modalias>usb:v([0-9A-F]{4})p([0-9A-F]{4})d\\*</modalias>");
    std::set<std::pair<std::string, std::string>> devices;
    int count = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), modalias); it != std::sregex_iterator(); ++it) {
        ++count;
        std::string vendor = (*it)[1], product = (*it)[2];
        for (std::string *id : {&vendor, &product})
            for (char &c : *id)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        devices.insert({vendor, product});
    }
    const std::set<std::pair<std::string, std::string>> expected = TableDevices();
    Check(count == 21 && devices == expected, "the metadata names exactly the table's devices");
    Check(text.find(std::string("<id>") + ruvo_udev::c_szAppStreamId + "</id>") != std::string::npos,
          "the metadata has its id");
}

void UsbIdsAsUdevShowsThem()
{
    const std::vector<std::pair<uint16_t, std::string>> rows = {
        {0x7A3E, "7a3e"}, {0x0001, "0001"}, {0xFFFF, "ffff"}, {0x0A00, "0a00"}};
    for (const auto &[id, text] : rows)
        Check(ruvo_udev::UsbIdText(id) == text, "id text " + text);
}

} // namespace

int main()
{
    CoversExactlyTheTable();
    RemovalIsSkippedAndTheFileEndsItsJump();
    UsbIdsAsUdevShowsThem();
    MetainfoNamesTheSameDevices();
    std::printf("%s\n", s_failures == 0 ? "PASS" : "FAILED");
    return s_failures == 0 ? 0 : 1;
}

#include "escl.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace ruvo_share {

namespace {

constexpr const char *kNamespaces = "xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
                                    "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"";

// Text from our own tables and the daemon's answers, escaped for XML.
std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20)
                out += c;
        }
    }
    return out;
}

std::string element(const char *name, const std::string &value)
{
    return std::string("<") + name + ">" + value + "</" + name + ">";
}

std::string inputCaps(const ScannerDescription &scanner, const SourceDescription &source)
{
    std::string xml;
    xml += element("scan:MinWidth", "16") + element("scan:MaxWidth", std::to_string(source.maxWidth));
    xml += element("scan:MinHeight", "16") + element("scan:MaxHeight", std::to_string(source.maxHeight));
    xml += element("scan:MaxScanRegions", "1");
    xml += "<scan:SettingProfiles><scan:SettingProfile><scan:ColorModes>";
    if (scanner.colour)
        xml += element("scan:ColorMode", "RGB24");
    xml += element("scan:ColorMode", "Grayscale8");
    xml += "</scan:ColorModes><scan:DocumentFormats>";
    for (const std::string &format : scanner.formats)
        xml += element("pwg:DocumentFormat", format) + element("scan:DocumentFormatExt", format);
    xml += "</scan:DocumentFormats><scan:SupportedResolutions><scan:DiscreteResolutions>";
    // Discrete values only: clients read ranges wrongly.
    for (int resolution : source.resolutions)
        xml += "<scan:DiscreteResolution>" + element("scan:XResolution", std::to_string(resolution)) +
               element("scan:YResolution", std::to_string(resolution)) + "</scan:DiscreteResolution>";
    xml += "</scan:DiscreteResolutions></scan:SupportedResolutions>";
    xml += "<scan:ColorSpaces>" + element("scan:ColorSpace", "sRGB") + "</scan:ColorSpaces>";
    xml += "</scan:SettingProfile></scan:SettingProfiles>";
    xml += "<scan:SupportedIntents>" + element("scan:Intent", "Document") + element("scan:Intent", "Photo") +
           element("scan:Intent", "TextAndGraphic") + element("scan:Intent", "Preview") + "</scan:SupportedIntents>";
    int maxResolution = source.resolutions.empty() ? 0 : source.resolutions.back();
    xml += element("scan:MaxOpticalXResolution", std::to_string(maxResolution));
    xml += element("scan:MaxOpticalYResolution", std::to_string(maxResolution));
    return xml;
}

// The text of an element without children of its own.
std::string textOf(xmlNode *node)
{
    std::string text;
    for (xmlNode *child = node->children; child; child = child->next)
        if (child->type == XML_TEXT_NODE && child->content)
            text += reinterpret_cast<const char *>(child->content);
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Collects the first value of each element name (without its prefix), at
// most a bounded number of elements deep and wide.
void collect(xmlNode *node, int depth, std::map<std::string, std::string> &values, int &count)
{
    for (; node && count < 1000; node = node->next) {
        if (node->type != XML_ELEMENT_NODE)
            continue;
        ++count;
        std::string name = reinterpret_cast<const char *>(node->name);
        if (values.find(name) == values.end())
            values[name] = textOf(node);
        if (depth < 8)
            collect(node->children, depth + 1, values, count);
    }
}

// A whole number 0..1000000, nothing else.
std::optional<int> number(const std::string &text)
{
    if (text.empty() || text.size() > 7 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    int value = std::stoi(text);
    if (value > 1000000)
        return std::nullopt;
    return value;
}

} // namespace

std::string CapabilitiesXml(const ScannerDescription &scanner)
{
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scan:ScannerCapabilities ";
    xml += kNamespaces;
    xml += ">";
    xml += element("pwg:Version", "2.63");
    xml += element("pwg:MakeAndModel", escaped(scanner.makeAndModel));
    xml += element("pwg:SerialNumber", escaped(scanner.serial));
    xml += element("scan:UUID", escaped(scanner.uuid));
    if (scanner.platen.present)
        xml += "<scan:Platen><scan:PlatenInputCaps>" + inputCaps(scanner, scanner.platen) +
               "</scan:PlatenInputCaps></scan:Platen>";
    if (scanner.feeder.present)
        xml += "<scan:Adf><scan:AdfSimplexInputCaps>" + inputCaps(scanner, scanner.feeder) +
               "</scan:AdfSimplexInputCaps>" + element("scan:FeederCapacity", "50") +
               "<scan:AdfOptions/></scan:Adf>";
    xml += "</scan:ScannerCapabilities>\n";
    return xml;
}

std::string StatusXml(ScannerState state, FeederState feeder, const std::vector<JobStatus> &jobs)
{
    static const char *states[] = {"Idle", "Processing", "Stopped"};
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scan:ScannerStatus ";
    xml += kNamespaces;
    xml += ">" + element("pwg:Version", "2.63") + element("pwg:State", states[static_cast<int>(state)]);
    switch (feeder) {
    case FeederState::None: break;
    case FeederState::Loaded: xml += element("scan:AdfState", "ScannerAdfLoaded"); break;
    case FeederState::Empty: xml += element("scan:AdfState", "ScannerAdfEmpty"); break;
    case FeederState::Jammed: xml += element("scan:AdfState", "ScannerAdfJam"); break;
    }
    if (!jobs.empty()) {
        xml += "<scan:Jobs>";
        for (const JobStatus &job : jobs) {
            const char *jobState = job.running ? "Processing" : job.aborted ? "Aborted" : "Completed";
            const char *reason = job.running ? "JobScanning" : job.aborted ? "JobCanceledByUser" : "JobCompletedSuccessfully";
            xml += "<scan:JobInfo>" + element("pwg:JobUri", escaped(job.uri)) + element("pwg:JobUuid", escaped(job.uuid)) +
                   element("scan:Age", std::to_string(job.ageSeconds)) +
                   element("pwg:ImagesCompleted", std::to_string(job.imagesCompleted)) +
                   element("pwg:ImagesToTransfer", job.running ? "1" : "0") + element("pwg:JobState", jobState) +
                   "<pwg:JobStateReasons>" + element("pwg:JobStateReason", reason) + "</pwg:JobStateReasons>" +
                   "</scan:JobInfo>";
        }
        xml += "</scan:Jobs>";
    }
    xml += "</scan:ScannerStatus>\n";
    return xml;
}

std::optional<ScanRequest> ParseScanSettings(std::string_view text)
{
    if (text.empty() || text.size() > kMaxSettingsBytes)
        return std::nullopt;
    // No XML_PARSE_NOENT (entities stay unexpanded), no XML_PARSE_DTDLOAD,
    // no XML_PARSE_HUGE (libxml2's own size limits hold), never the network.
    xmlDocPtr document = xmlReadMemory(text.data(), static_cast<int>(text.size()), "ScanSettings.xml", nullptr,
                                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOCDATA);
    if (!document)
        return std::nullopt;
    std::map<std::string, std::string> values;
    xmlNode *root = xmlDocGetRootElement(document);
    bool wellFormed = root && !document->intSubset && !document->extSubset &&
                      std::strcmp(reinterpret_cast<const char *>(root->name), "ScanSettings") == 0;
    if (wellFormed) {
        int count = 0;
        collect(root->children, 0, values, count);
    }
    xmlFreeDoc(document);
    if (!wellFormed)
        return std::nullopt;

    ScanRequest request;
    auto value = [&](const char *name) -> std::string {
        auto found = values.find(name);
        return found == values.end() ? std::string() : found->second;
    };
    std::string source = value("InputSource");
    if (source == "Feeder" || source == "Adf")
        request.source = Source::Feeder;
    else if (!source.empty() && source != "Platen")
        return std::nullopt;
    std::string mode = value("ColorMode");
    if (mode == "Grayscale8")
        request.mode = ColourMode::Grey;
    else if (!mode.empty() && mode != "RGB24")
        return std::nullopt;
    std::string format = value("DocumentFormatExt");
    if (format.empty())
        format = value("DocumentFormat");
    if (!format.empty())
        request.format = format.substr(0, 64);
    for (const char *name : {"XResolution", "YResolution"}) {
        std::string text = value(name);
        if (text.empty())
            continue;
        std::optional<int> resolution = number(text);
        if (!resolution)
            return std::nullopt;
        if (std::strcmp(name, "YResolution") == 0 && !value("XResolution").empty() && *resolution != request.resolution)
            return std::nullopt; // different resolutions across and down are not scanned
        request.resolution = *resolution;
    }
    std::string units = value("ContentRegionUnits");
    if (!units.empty() && units != "escl:ThreeHundredthsOfInches")
        return std::nullopt;
    int *fields[] = {&request.xOffset, &request.yOffset, &request.width, &request.height};
    const char *names[] = {"XOffset", "YOffset", "Width", "Height"};
    for (int i = 0; i < 4; ++i) {
        std::string text = value(names[i]);
        if (text.empty())
            continue;
        std::optional<int> field = number(text);
        if (!field)
            return std::nullopt;
        *fields[i] = *field;
    }
    return request;
}

std::string CheckRequest(const ScannerDescription &scanner, ScanRequest &request)
{
    const SourceDescription &source = request.source == Source::Platen ? scanner.platen : scanner.feeder;
    if (!source.present)
        return "the scanner has no such source";
    if (request.mode == ColourMode::Colour && !scanner.colour)
        return "the scanner scans in grey only";
    if (std::find(source.resolutions.begin(), source.resolutions.end(), request.resolution) == source.resolutions.end())
        return "the resolution is not offered";
    if (std::find(scanner.formats.begin(), scanner.formats.end(), request.format) == scanner.formats.end())
        return "the document format is not offered";
    if (request.xOffset >= source.maxWidth || request.yOffset >= source.maxHeight)
        return "the region lies outside the scan area";
    if (request.width == 0)
        request.width = source.maxWidth - request.xOffset;
    if (request.height == 0)
        request.height = source.maxHeight - request.yOffset;
    request.width = std::min(request.width, source.maxWidth - request.xOffset);
    request.height = std::min(request.height, source.maxHeight - request.yOffset);
    if (request.width < 16 || request.height < 16)
        return "the region is too small";
    return {};
}

PixelRegion ToPixels(const ScanRequest &request)
{
    auto pixels = [&](int units) { return static_cast<uint32_t>((static_cast<int64_t>(units) * request.resolution + 150) / 300); };
    PixelRegion region;
    region.xStart = pixels(request.xOffset);
    region.yStart = pixels(request.yOffset);
    region.width = std::max<uint32_t>(1, pixels(request.xOffset + request.width) - region.xStart);
    region.height = std::max<uint32_t>(1, pixels(request.yOffset + request.height) - region.yStart);
    return region;
}

} // namespace ruvo_share

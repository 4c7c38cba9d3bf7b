#include "mdns_records.h"

#include <algorithm>

namespace ruvo_share {

namespace {

// Cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(std::string text, size_t limit)
{
    if (text.size() <= limit)
        return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80)
        --end;
    text.resize(end);
    return text;
}

std::string entry(const std::string &key, const std::string &value)
{
    return cutUtf8(key + "=" + value, kMaxTxtEntryBytes);
}

std::string joined(const std::vector<std::string> &parts)
{
    std::string text;
    for (const std::string &part : parts)
        text += (text.empty() ? "" : ",") + part;
    return text;
}

const ServiceRecord *findKey(const std::vector<ServiceRecord> &records, const std::string &key)
{
    auto found = std::find_if(records.begin(), records.end(), [&](const ServiceRecord &r) { return r.key == key; });
    return found == records.end() ? nullptr : &*found;
}

} // namespace

ServiceRecord UscanRecord(const std::string &slug, const ScannerDescription &scanner, const std::string &adminAddress)
{
    ServiceRecord record;
    record.key = slug;
    // The serial tells two scanners of one model apart in a client's list.
    std::string name = scanner.makeAndModel;
    if (!scanner.serial.empty())
        name += " (" + scanner.serial + ")";
    record.name = cutUtf8(name, kMaxServiceNameBytes);

    std::vector<std::string> sources;
    if (scanner.platen.present)
        sources.push_back("platen");
    if (scanner.feeder.present)
        sources.push_back("adf");
    std::vector<std::string> colours;
    if (scanner.colour)
        colours.push_back("color");
    colours.push_back("grayscale");

    // txtvers first: clients read the record's version before its keys.
    record.txt = {entry("txtvers", "1"),
                  entry("vers", "2.63"),
                  entry("rs", slug + "/eSCL"),
                  entry("ty", scanner.makeAndModel),
                  entry("uuid", scanner.uuid),
                  entry("pdl", joined(scanner.formats)),
                  entry("cs", joined(colours)),
                  entry("is", joined(sources)),
                  entry("duplex", "F")};
    if (!adminAddress.empty())
        record.txt.push_back(entry("adminurl", "http://" + adminAddress + "/"));
    return record;
}

AnnouncementChanges ChangesBetween(const std::vector<ServiceRecord> &announced, const std::vector<ServiceRecord> &wanted)
{
    AnnouncementChanges changes;
    for (const ServiceRecord &old : announced) {
        const ServiceRecord *now = findKey(wanted, old.key);
        if (!now || !(*now == old))
            changes.withdraw.push_back(old.key);
    }
    for (const ServiceRecord &record : wanted) {
        const ServiceRecord *before = findKey(announced, record.key);
        if (!before || !(*before == record))
            changes.announce.push_back(record);
    }
    return changes;
}

} // namespace ruvo_share

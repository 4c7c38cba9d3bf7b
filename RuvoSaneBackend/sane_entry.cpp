// The SANE 1.0 entry points of the "ruvo" backend. SANE's dll backend finds
// them as sane_ruvo_*; nothing else of the library is visible outside it.
// C++ inside: no exception leaves an entry point.

#include "debug_log.h"
#include "scanner.h"
#include "scan_types.h"

#include <sane/sane.h>
#include <sane/saneopts.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#define RUVO_EXPORT extern "C" __attribute__((visibility("default")))

using namespace ruvo_sane;

namespace {

constexpr SANE_Int kBuild = 1;

enum Option {
    kOptionCount,
    kModeGroup,
    kMode,
    kResolution,
    kSource,
    kCompression,
    kGeometryGroup,
    kLeft,
    kTop,
    kRight,
    kBottom,
    kOptionTotal
};

const char kFlatbed[] = "Flatbed";
const char kFeeder[] = "ADF";
const char kCompressionNone[] = "None";
const char kCompressionJpeg[] = "JPEG";

// One opened device with its options.
struct Handle {
    std::unique_ptr<Scanner> scanner;
    SANE_Option_Descriptor descriptors[kOptionTotal];
    std::vector<SANE_String_Const> modes;
    std::vector<SANE_String_Const> sources;
    std::vector<SANE_String_Const> compressions;
    std::vector<SANE_Word> resolutionList; // count first, as SANE wants
    SANE_Range resolutionRange{};
    SANE_Range xRange{};
    SANE_Range yRange{};
    std::string mode = SANE_VALUE_SCAN_MODE_COLOR;
    std::string source = kFlatbed;
    std::string compression = kCompressionNone;
    SANE_Int resolution = 150;
    SANE_Fixed left = 0, top = 0, right = 0, bottom = 0;
};

// The device list handed to the front end stays valid until the next call.
struct DeviceList {
    std::vector<DeviceEntry> entries;
    std::vector<SANE_Device> devices;
    std::vector<const SANE_Device *> pointers;
};

std::mutex s_mutex; // guards s_devices and s_handles
DeviceList s_devices;
std::vector<Handle *> s_handles;

const char kModelUnknown[] = "Network Scanner";

bool feederChosen(const Handle &handle)
{
    return handle.source == kFeeder;
}

double fixedToMm(SANE_Fixed value)
{
    return SANE_UNFIX(value);
}

// Ranges and lists that depend on the source.
void updateConstraints(Handle &handle)
{
    const ScannerAbilities &abilities = handle.scanner->abilities();
    bool feeder = feederChosen(handle);
    handle.xRange = {0, SANE_FIX(abilities.widthMm), 0};
    handle.yRange = {0, SANE_FIX(feeder ? abilities.feederHeightMm : abilities.flatbedHeightMm), 0};
    if (abilities.resolutionRange) {
        handle.resolutionRange = {abilities.minResolution, abilities.maxResolution, 1};
        handle.descriptors[kResolution].constraint_type = SANE_CONSTRAINT_RANGE;
        handle.descriptors[kResolution].constraint.range = &handle.resolutionRange;
        handle.resolution = std::min(std::max(handle.resolution, abilities.minResolution), abilities.maxResolution);
    } else {
        std::vector<int> offered = UsbResolutions(feeder);
        handle.resolutionList.assign(1, static_cast<SANE_Word>(offered.size()));
        handle.resolutionList.insert(handle.resolutionList.end(), offered.begin(), offered.end());
        handle.descriptors[kResolution].constraint_type = SANE_CONSTRAINT_WORD_LIST;
        handle.descriptors[kResolution].constraint.word_list = handle.resolutionList.data();
        handle.resolution = NearestResolution(offered, handle.resolution);
    }
    for (SANE_Fixed *value : {&handle.left, &handle.right})
        *value = std::min(std::max(*value, handle.xRange.min), handle.xRange.max);
    for (SANE_Fixed *value : {&handle.top, &handle.bottom})
        *value = std::min(std::max(*value, handle.yRange.min), handle.yRange.max);
    if (handle.mode == SANE_VALUE_SCAN_MODE_LINEART)
        handle.descriptors[kCompression].cap |= SANE_CAP_INACTIVE;
    else
        handle.descriptors[kCompression].cap &= ~SANE_CAP_INACTIVE;
}

void describe(SANE_Option_Descriptor &option, const char *name, const char *title, const char *description,
              SANE_Value_Type type, SANE_Unit unit, SANE_Int size)
{
    option.name = name;
    option.title = title;
    option.desc = description;
    option.type = type;
    option.unit = unit;
    option.size = size;
    option.cap = SANE_CAP_SOFT_SELECT | SANE_CAP_SOFT_DETECT;
    option.constraint_type = SANE_CONSTRAINT_NONE;
}

SANE_Int longestString(const std::vector<SANE_String_Const> &list)
{
    size_t longest = 0;
    for (SANE_String_Const text : list)
        if (text)
            longest = std::max(longest, std::strlen(text) + 1);
    return static_cast<SANE_Int>(longest);
}

// The scan area in millimetres, its ranges set by updateConstraints.
void describeGeometry(Handle &handle)
{
    SANE_Option_Descriptor *d = handle.descriptors;
    describe(d[kGeometryGroup], "", "Geometry", "", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0);
    d[kGeometryGroup].cap = 0;
    describe(d[kLeft], SANE_NAME_SCAN_TL_X, SANE_TITLE_SCAN_TL_X, SANE_DESC_SCAN_TL_X, SANE_TYPE_FIXED, SANE_UNIT_MM,
             sizeof(SANE_Word));
    describe(d[kTop], SANE_NAME_SCAN_TL_Y, SANE_TITLE_SCAN_TL_Y, SANE_DESC_SCAN_TL_Y, SANE_TYPE_FIXED, SANE_UNIT_MM,
             sizeof(SANE_Word));
    describe(d[kRight], SANE_NAME_SCAN_BR_X, SANE_TITLE_SCAN_BR_X, SANE_DESC_SCAN_BR_X, SANE_TYPE_FIXED, SANE_UNIT_MM,
             sizeof(SANE_Word));
    describe(d[kBottom], SANE_NAME_SCAN_BR_Y, SANE_TITLE_SCAN_BR_Y, SANE_DESC_SCAN_BR_Y, SANE_TYPE_FIXED,
             SANE_UNIT_MM, sizeof(SANE_Word));
    for (Option option : {kLeft, kRight}) {
        d[option].constraint_type = SANE_CONSTRAINT_RANGE;
        d[option].constraint.range = &handle.xRange;
    }
    for (Option option : {kTop, kBottom}) {
        d[option].constraint_type = SANE_CONSTRAINT_RANGE;
        d[option].constraint.range = &handle.yRange;
    }
}

void buildOptions(Handle &handle)
{
    const ScannerAbilities &abilities = handle.scanner->abilities();
    std::memset(handle.descriptors, 0, sizeof(handle.descriptors));
    handle.modes = {SANE_VALUE_SCAN_MODE_LINEART, SANE_VALUE_SCAN_MODE_GRAY};
    if (abilities.colour)
        handle.modes.push_back(SANE_VALUE_SCAN_MODE_COLOR);
    handle.modes.push_back(nullptr);
    if (abilities.flatbed)
        handle.sources.push_back(kFlatbed);
    if (abilities.feeder)
        handle.sources.push_back(kFeeder);
    handle.sources.push_back(nullptr);
    handle.compressions = {kCompressionNone, kCompressionJpeg, nullptr};
    handle.mode = abilities.colour ? SANE_VALUE_SCAN_MODE_COLOR : SANE_VALUE_SCAN_MODE_GRAY;
    handle.source = handle.sources.front();

    SANE_Option_Descriptor *d = handle.descriptors;
    describe(d[kOptionCount], "", SANE_TITLE_NUM_OPTIONS, SANE_DESC_NUM_OPTIONS, SANE_TYPE_INT, SANE_UNIT_NONE,
             sizeof(SANE_Word));
    d[kOptionCount].name = SANE_NAME_NUM_OPTIONS;
    d[kOptionCount].cap = SANE_CAP_SOFT_DETECT;

    describe(d[kModeGroup], "", "Scan Mode", "", SANE_TYPE_GROUP, SANE_UNIT_NONE, 0);
    d[kModeGroup].cap = 0;
    describe(d[kMode], SANE_NAME_SCAN_MODE, SANE_TITLE_SCAN_MODE, SANE_DESC_SCAN_MODE, SANE_TYPE_STRING,
             SANE_UNIT_NONE, longestString(handle.modes));
    d[kMode].constraint_type = SANE_CONSTRAINT_STRING_LIST;
    d[kMode].constraint.string_list = handle.modes.data();
    describe(d[kResolution], SANE_NAME_SCAN_RESOLUTION, SANE_TITLE_SCAN_RESOLUTION, SANE_DESC_SCAN_RESOLUTION,
             SANE_TYPE_INT, SANE_UNIT_DPI, sizeof(SANE_Word));
    describe(d[kSource], SANE_NAME_SCAN_SOURCE, SANE_TITLE_SCAN_SOURCE, SANE_DESC_SCAN_SOURCE, SANE_TYPE_STRING,
             SANE_UNIT_NONE, longestString(handle.sources));
    d[kSource].constraint_type = SANE_CONSTRAINT_STRING_LIST;
    d[kSource].constraint.string_list = handle.sources.data();
    describe(d[kCompression], "compression", "Transfer compression",
             "How the page travels from the scanner: raw, or JPEG (quality 70), which this backend decodes, so "
             "programs always receive raw lines.",
             SANE_TYPE_STRING, SANE_UNIT_NONE, longestString(handle.compressions));
    d[kCompression].constraint_type = SANE_CONSTRAINT_STRING_LIST;
    d[kCompression].constraint.string_list = handle.compressions.data();
    d[kCompression].cap |= SANE_CAP_ADVANCED;

    describeGeometry(handle);
    updateConstraints(handle);
    handle.left = handle.top = 0;
    handle.right = handle.xRange.max;
    handle.bottom = handle.yRange.max;
}

ScanChoice choiceOf(const Handle &handle)
{
    ScanChoice choice;
    choice.mode = handle.mode == SANE_VALUE_SCAN_MODE_LINEART ? ScanMode::Lineart
                  : handle.mode == SANE_VALUE_SCAN_MODE_GRAY  ? ScanMode::Gray
                                                              : ScanMode::Color;
    choice.resolution = handle.resolution;
    choice.feeder = feederChosen(handle);
    choice.jpeg = handle.compression == kCompressionJpeg;
    choice.left = fixedToMm(handle.left);
    choice.top = fixedToMm(handle.top);
    choice.right = fixedToMm(handle.right);
    choice.bottom = fixedToMm(handle.bottom);
    return choice;
}

bool inList(const std::vector<SANE_String_Const> &list, const char *value)
{
    for (SANE_String_Const entry : list)
        if (entry && std::strcmp(entry, value) == 0)
            return true;
    return false;
}

SANE_Status setStringOption(Handle &handle, SANE_Int option, const char *text, SANE_Int &flags)
{
    const std::vector<SANE_String_Const> &list =
        option == kMode ? handle.modes : option == kSource ? handle.sources : handle.compressions;
    size_t limit = static_cast<size_t>(handle.descriptors[option].size);
    if (strnlen(text, limit) >= limit || !inList(list, text))
        return SANE_STATUS_INVAL;
    std::string &target = option == kMode ? handle.mode : option == kSource ? handle.source : handle.compression;
    if (target == text)
        return SANE_STATUS_GOOD;
    target = text;
    flags |= SANE_INFO_RELOAD_PARAMS;
    // The mode decides whether compression applies, the source which
    // resolutions and lengths there are.
    if (option != kCompression)
        flags |= SANE_INFO_RELOAD_OPTIONS;
    updateConstraints(handle);
    return SANE_STATUS_GOOD;
}

// The value a number option takes for `wanted`: the nearest the scanner
// offers (range ends, list values).
SANE_Word allowedNumber(const Handle &handle, SANE_Int option, SANE_Word wanted)
{
    if (option == kResolution) {
        const ScannerAbilities &abilities = handle.scanner->abilities();
        if (abilities.resolutionRange)
            return std::min(std::max(wanted, abilities.minResolution), abilities.maxResolution);
        return NearestResolution(UsbResolutions(feederChosen(handle)), wanted);
    }
    const SANE_Range &range = option == kLeft || option == kRight ? handle.xRange : handle.yRange;
    return std::min(std::max(wanted, range.min), range.max);
}

SANE_Word &numberOf(Handle &handle, SANE_Int option)
{
    switch (option) {
    case kResolution: return handle.resolution;
    case kLeft: return handle.left;
    case kTop: return handle.top;
    case kRight: return handle.right;
    default: return handle.bottom;
    }
}

// A value the scanner does not offer is changed to the nearest it does, and
// the front end is told (INEXACT) and given that value back; a value it
// offers is taken as it is.
SANE_Status setNumberOption(Handle &handle, SANE_Int option, SANE_Word *value, SANE_Int &flags)
{
    SANE_Word chosen = allowedNumber(handle, option, *value);
    if (chosen != *value) {
        flags |= SANE_INFO_INEXACT;
        *value = chosen;
    }
    SANE_Word &target = numberOf(handle, option);
    if (target != chosen) {
        target = chosen;
        flags |= SANE_INFO_RELOAD_PARAMS;
    }
    return SANE_STATUS_GOOD;
}

SANE_Status setOption(Handle &handle, SANE_Int option, void *value, SANE_Int *info)
{
    SANE_Int flags = 0;
    SANE_Status result = SANE_STATUS_INVAL;
    switch (option) {
    case kMode:
    case kSource:
    case kCompression: result = setStringOption(handle, option, static_cast<const char *>(value), flags); break;
    case kResolution:
    case kLeft:
    case kTop:
    case kRight:
    case kBottom: result = setNumberOption(handle, option, static_cast<SANE_Word *>(value), flags); break;
    default: break;
    }
    if (info && result == SANE_STATUS_GOOD)
        *info = flags;
    return result;
}

SANE_Status getOption(const Handle &handle, SANE_Int option, void *value)
{
    switch (option) {
    case kOptionCount: *static_cast<SANE_Int *>(value) = kOptionTotal; break;
    case kMode:
    case kSource:
    case kCompression: {
        const std::string &text = option == kMode ? handle.mode : option == kSource ? handle.source : handle.compression;
        std::memcpy(value, text.c_str(), text.size() + 1);
        break;
    }
    case kResolution: *static_cast<SANE_Int *>(value) = handle.resolution; break;
    case kLeft: *static_cast<SANE_Fixed *>(value) = handle.left; break;
    case kTop: *static_cast<SANE_Fixed *>(value) = handle.top; break;
    case kRight: *static_cast<SANE_Fixed *>(value) = handle.right; break;
    case kBottom: *static_cast<SANE_Fixed *>(value) = handle.bottom; break;
    default: return SANE_STATUS_INVAL;
    }
    return SANE_STATUS_GOOD;
}

Handle *handleOf(SANE_Handle handle)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    for (Handle *known : s_handles)
        if (known == handle)
            return known;
    return nullptr;
}

// The one place a daemon result becomes a SANE status.
SANE_Status saneStatus(int code)
{
    switch (code) {
    case ruvo_wire::RESULT_GOOD: return SANE_STATUS_GOOD;
    case ruvo_wire::RESULT_UNSUPPORTED: return SANE_STATUS_UNSUPPORTED;
    case ruvo_wire::RESULT_CANCELLED: return SANE_STATUS_CANCELLED;
    case ruvo_wire::RESULT_BUSY: return SANE_STATUS_DEVICE_BUSY;
    case ruvo_wire::RESULT_INVALID: return SANE_STATUS_INVAL;
    case ruvo_wire::RESULT_END_OF_SCAN: return SANE_STATUS_EOF;
    case ruvo_wire::RESULT_JAMMED: return SANE_STATUS_JAMMED;
    case ruvo_wire::RESULT_NO_DOCUMENTS: return SANE_STATUS_NO_DOCS;
    case ruvo_wire::RESULT_COVER_OPEN: return SANE_STATUS_COVER_OPEN;
    case ruvo_wire::RESULT_NO_MEMORY: return SANE_STATUS_NO_MEM;
    case ruvo_wire::RESULT_ACCESS_DENIED: return SANE_STATUS_ACCESS_DENIED;
    default: return SANE_STATUS_IO_ERROR;
    }
}

} // namespace

RUVO_EXPORT SANE_Status sane_ruvo_init(SANE_Int *version, SANE_Auth_Callback)
{
    if (version)
        *version = SANE_VERSION_CODE(SANE_CURRENT_MAJOR, 0, kBuild);
    Debug(kDebugInfo, "sane_init");
    return SANE_STATUS_GOOD;
}

RUVO_EXPORT void sane_ruvo_close(SANE_Handle handle);

RUVO_EXPORT void sane_ruvo_exit(void)
{
    std::vector<Handle *> open;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        open = s_handles;
    }
    for (Handle *handle : open)
        sane_ruvo_close(handle);
    std::lock_guard<std::mutex> lock(s_mutex);
    s_devices = DeviceList{};
}

RUVO_EXPORT SANE_Status sane_ruvo_get_devices(const SANE_Device ***list, SANE_Bool)
{
    try {
        std::vector<DeviceEntry> found = DiscoverDevices();
        std::lock_guard<std::mutex> lock(s_mutex);
        s_devices = DeviceList{};
        s_devices.entries = std::move(found);
        for (const DeviceEntry &entry : s_devices.entries)
            s_devices.devices.push_back(SANE_Device{entry.name.c_str(), "Ruvo",
                                                    entry.model.empty() ? kModelUnknown : entry.model.c_str(),
                                                    "multi-function peripheral"});
        for (const SANE_Device &device : s_devices.devices)
            s_devices.pointers.push_back(&device);
        s_devices.pointers.push_back(nullptr);
        *list = s_devices.pointers.data();
        return SANE_STATUS_GOOD;
    } catch (const std::bad_alloc &) {
        return SANE_STATUS_NO_MEM;
    } catch (...) {
        return SANE_STATUS_IO_ERROR;
    }
}

RUVO_EXPORT SANE_Status sane_ruvo_open(SANE_String_Const name, SANE_Handle *handle)
{
    try {
        std::optional<DeviceEntry> entry;
        if (!name || name[0] == '\0') {
            std::vector<DeviceEntry> found = DiscoverDevices();
            if (!found.empty())
                entry = found.front();
        } else {
            entry = EntryFromName(name);
        }
        if (!entry) {
            Debug(kDebugError, "no such scanner: %s", name && *name ? name : "(any)");
            return SANE_STATUS_INVAL;
        }
        auto opened = std::make_unique<Handle>();
        int code = Scanner::Open(*entry, opened->scanner);
        if (code != ruvo_wire::RESULT_GOOD)
            return saneStatus(code);
        buildOptions(*opened);
        std::lock_guard<std::mutex> lock(s_mutex);
        s_handles.push_back(opened.get());
        *handle = opened.release();
        return SANE_STATUS_GOOD;
    } catch (const std::bad_alloc &) {
        return SANE_STATUS_NO_MEM;
    } catch (...) {
        return SANE_STATUS_IO_ERROR;
    }
}

RUVO_EXPORT void sane_ruvo_close(SANE_Handle handle)
{
    Handle *known = nullptr;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        for (auto it = s_handles.begin(); it != s_handles.end(); ++it) {
            if (*it == handle) {
                known = *it;
                s_handles.erase(it);
                break;
            }
        }
    }
    try {
        delete known;
    } catch (...) {
    }
}

RUVO_EXPORT const SANE_Option_Descriptor *sane_ruvo_get_option_descriptor(SANE_Handle handle, SANE_Int option)
{
    Handle *known = handleOf(handle);
    if (!known || option < 0 || option >= kOptionTotal)
        return nullptr;
    return &known->descriptors[option];
}

RUVO_EXPORT SANE_Status sane_ruvo_control_option(SANE_Handle handle, SANE_Int option, SANE_Action action,
                                                 void *value, SANE_Int *info)
{
    Handle *known = handleOf(handle);
    if (info)
        *info = 0;
    if (!known || option < 0 || option >= kOptionTotal || !value)
        return SANE_STATUS_INVAL;
    try {
        const SANE_Option_Descriptor &descriptor = known->descriptors[option];
        if (descriptor.type == SANE_TYPE_GROUP || (descriptor.cap & SANE_CAP_INACTIVE))
            return SANE_STATUS_INVAL;
        if (action == SANE_ACTION_GET_VALUE)
            return getOption(*known, option, value);
        if (action == SANE_ACTION_SET_VALUE) {
            if (!SANE_OPTION_IS_SETTABLE(descriptor.cap))
                return SANE_STATUS_INVAL;
            if (known->scanner->activeShape())
                return SANE_STATUS_DEVICE_BUSY;
            return setOption(*known, option, value, info);
        }
        return SANE_STATUS_UNSUPPORTED;
    } catch (...) {
        return SANE_STATUS_NO_MEM;
    }
}

RUVO_EXPORT SANE_Status sane_ruvo_get_parameters(SANE_Handle handle, SANE_Parameters *parameters)
{
    Handle *known = handleOf(handle);
    if (!known || !parameters)
        return SANE_STATUS_INVAL;
    std::optional<FrameShape> active = known->scanner->activeShape();
    FrameShape shape = active ? *active : ShapeOf(choiceOf(*known));
    parameters->format = shape.colour ? SANE_FRAME_RGB : SANE_FRAME_GRAY;
    parameters->last_frame = SANE_TRUE;
    parameters->depth = shape.depth;
    parameters->pixels_per_line = static_cast<SANE_Int>(shape.pixelsPerLine);
    parameters->bytes_per_line = static_cast<SANE_Int>(shape.bytesPerLine);
    parameters->lines = static_cast<SANE_Int>(shape.lines);
    return SANE_STATUS_GOOD;
}

RUVO_EXPORT SANE_Status sane_ruvo_start(SANE_Handle handle)
{
    Handle *known = handleOf(handle);
    if (!known)
        return SANE_STATUS_INVAL;
    try {
        return saneStatus(known->scanner->start(choiceOf(*known)));
    } catch (const std::bad_alloc &) {
        return SANE_STATUS_NO_MEM;
    } catch (...) {
        return SANE_STATUS_IO_ERROR;
    }
}

RUVO_EXPORT SANE_Status sane_ruvo_read(SANE_Handle handle, SANE_Byte *data, SANE_Int maxLength, SANE_Int *length)
{
    if (length)
        *length = 0;
    Handle *known = handleOf(handle);
    if (!known || !data || !length)
        return SANE_STATUS_INVAL;
    try {
        int got = 0;
        SANE_Status result = saneStatus(known->scanner->read(data, maxLength, &got));
        *length = got;
        return result;
    } catch (const std::bad_alloc &) {
        return SANE_STATUS_NO_MEM;
    } catch (...) {
        return SANE_STATUS_IO_ERROR;
    }
}

// Front ends call this from signal handlers too: no lock is taken here.
RUVO_EXPORT void sane_ruvo_cancel(SANE_Handle handle)
{
    if (!handle)
        return;
    try {
        static_cast<Handle *>(handle)->scanner->cancel();
    } catch (...) {
    }
}

// Both only during a scan: from sane_start until the scan has ended.
RUVO_EXPORT SANE_Status sane_ruvo_set_io_mode(SANE_Handle handle, SANE_Bool nonBlocking)
{
    Handle *known = handleOf(handle);
    if (!known || (nonBlocking != SANE_FALSE && nonBlocking != SANE_TRUE))
        return SANE_STATUS_INVAL;
    return saneStatus(known->scanner->setNonBlocking(nonBlocking == SANE_TRUE));
}

RUVO_EXPORT SANE_Status sane_ruvo_get_select_fd(SANE_Handle handle, SANE_Int *descriptor)
{
    Handle *known = handleOf(handle);
    if (!known || !descriptor)
        return SANE_STATUS_INVAL;
    int ready = -1;
    SANE_Status result = saneStatus(known->scanner->selectDescriptor(ready));
    if (result == SANE_STATUS_GOOD)
        *descriptor = ready;
    return result;
}

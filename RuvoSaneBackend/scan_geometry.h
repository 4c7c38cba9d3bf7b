#pragma once
// From the front end's choices (mode, resolution, source, compression, an
// area in millimetres) to what the daemon is sent and what SANE is told:
// the settings record and the frame's exact shape (docs/scan-page-format.md).

#include <cstddef>
#include <cstdint>
#include <vector>

struct SettingInfo;

namespace ruvo_sane {

enum class ScanMode { Lineart, Gray, Color };

struct ScanChoice {
    ScanMode mode = ScanMode::Color;
    int resolution = 150;
    bool feeder = false;
    bool jpeg = false;
    // The area, millimetres from the top left corner.
    double left = 0, top = 0, right = 0, bottom = 0;
};

struct PixelArea {
    uint32_t xStart = 0, yStart = 0, width = 0, height = 0;
};

// Millimetres to pixels at `resolution`: each edge rounded to the nearest
// pixel, at least one pixel wide and high. nullopt-like: width 0 when the
// area is empty or reversed.
PixelArea ToPixels(const ScanChoice &choice);

int BitDepth(ScanMode mode);
// JPEG applies to grey and colour scans; 1-bit data is never compressed.
bool UsesJpeg(const ScanChoice &choice);

size_t LineBytes(uint32_t width, int bitDepth);
size_t PaddedLineBytes(size_t lineBytes, unsigned boundary);

// What sane_get_parameters reports.
struct FrameShape {
    bool colour = false;
    int depth = 8;
    uint32_t pixelsPerLine = 0;
    size_t bytesPerLine = 0;
    int64_t lines = 0; // -1: a feeder page, its length decided by the sheet
};
FrameShape ShapeOf(const ScanChoice &choice);

// The settings record for a scan start (USB lock or network start).
void FillSettings(const ScanChoice &choice, SettingInfo &settings);

// The resolutions a USB scanner is offered: all up to 1200 dpi from the
// flatbed, up to 600 from the feeder (the lock frame turns 1200 into 600 there).
std::vector<int> UsbResolutions(bool feeder);
// The offered resolution nearest to `wanted`.
int NearestResolution(const std::vector<int> &offered, int wanted);

// The USB scan area: the device reports none.
inline constexpr double kUsbWidthMm = 215.9;
inline constexpr double kUsbFlatbedHeightMm = 297.0;
inline constexpr double kUsbFeederHeightMm = 355.6;

} // namespace ruvo_sane

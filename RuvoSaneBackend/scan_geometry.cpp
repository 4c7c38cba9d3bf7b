#include "scan_geometry.h"

#include "scan_types.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace ruvo_sane {

namespace {

int64_t edgePixel(double millimetres, int resolution)
{
    return std::llround(millimetres * resolution / 25.4);
}

} // namespace

PixelArea ToPixels(const ScanChoice &choice)
{
    PixelArea area;
    if (choice.resolution <= 0 || !(choice.right > choice.left) || !(choice.bottom > choice.top) ||
        !(choice.left >= 0) || !(choice.top >= 0) || choice.right > 10000 || choice.bottom > 10000)
        return area;
    int64_t left = edgePixel(choice.left, choice.resolution);
    int64_t top = edgePixel(choice.top, choice.resolution);
    int64_t right = std::max(edgePixel(choice.right, choice.resolution), left + 1);
    int64_t bottom = std::max(edgePixel(choice.bottom, choice.resolution), top + 1);
    area.xStart = static_cast<uint32_t>(left);
    area.yStart = static_cast<uint32_t>(top);
    area.width = static_cast<uint32_t>(right - left);
    area.height = static_cast<uint32_t>(bottom - top);
    return area;
}

int BitDepth(ScanMode mode)
{
    switch (mode) {
    case ScanMode::Lineart: return 1;
    case ScanMode::Gray: return 8;
    case ScanMode::Color: break;
    }
    return 24;
}

bool UsesJpeg(const ScanChoice &choice)
{
    return choice.jpeg && choice.mode != ScanMode::Lineart;
}

size_t LineBytes(uint32_t width, int bitDepth)
{
    if (bitDepth == 1)
        return (static_cast<size_t>(width) + 7) / 8;
    return static_cast<size_t>(width) * static_cast<size_t>(bitDepth / 8);
}

size_t PaddedLineBytes(size_t lineBytes, unsigned boundary)
{
    if (boundary <= 1)
        return lineBytes;
    return (lineBytes + boundary - 1) / boundary * boundary;
}

FrameShape ShapeOf(const ScanChoice &choice)
{
    PixelArea area = ToPixels(choice);
    FrameShape shape;
    shape.colour = choice.mode == ScanMode::Color;
    shape.depth = choice.mode == ScanMode::Lineart ? 1 : 8;
    shape.pixelsPerLine = area.width;
    shape.bytesPerLine = LineBytes(area.width, BitDepth(choice.mode));
    shape.lines = choice.feeder ? -1 : static_cast<int64_t>(area.height);
    return shape;
}

void FillSettings(const ScanChoice &choice, SettingInfo &settings)
{
    PixelArea area = ToPixels(choice);
    settings = SettingInfo{};
    settings.bitDepth = static_cast<uint8_t>(BitDepth(choice.mode));
    settings.compType = UsesJpeg(choice) ? COMPRESSION_JPEG : COMPRESSION_NONE;
    settings.width = area.width;
    settings.height = area.height;
    settings.xStart = area.xStart;
    settings.yStart = area.yStart;
    settings.xResolution = static_cast<uint16_t>(std::clamp(choice.resolution, 1, 65535));
    settings.yResolution = settings.xResolution;
    settings.feederEnabled = choice.feeder ? 1 : 0;
    // Every sheet of the feeder in one scan, one page file each.
    settings.isClient = choice.feeder ? 1 : 0;
    settings.BrightnessParam = 50;
    settings.ContrastParam = 50;
}

std::vector<int> UsbResolutions(bool feeder)
{
    std::vector<int> resolutions = {75, 100, 150, 200, 300, 600};
    if (!feeder)
        resolutions.push_back(1200);
    return resolutions;
}

int NearestResolution(const std::vector<int> &offered, int wanted)
{
    int best = offered.empty() ? wanted : offered.front();
    for (int resolution : offered)
        if (std::abs(resolution - wanted) < std::abs(best - wanted))
            best = resolution;
    return best;
}

} // namespace ruvo_sane

#pragma once
// The test chart that the emulated scanners "scan": a page of shapes, text, a
// grey ramp, grey steps and colour bars, defined in physical units so it can be
// rendered at any resolution and over any area. Everything here is pure and
// deterministic (integer geometry only), so a test renders exactly the pixels
// an emulator sent and compares them with what a front end received.
//
// The raw page layout the emulators produce follows docs/scan-page-format.md:
// lines top to bottom, pixels left to right; 24-bit R,G,B; 8-bit grey with 0
// black; 1-bit eight pixels a byte, leftmost in the most significant bit,
// 1 black; each line optionally padded to a multiple of a boundary in bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scan_chart {

// Physical positions are micro-inches from the top left corner of the page.
inline constexpr int64_t kMicroInch = 1000000;
// The chart is as wide as a Letter page; below its content a ruler runs on.
inline constexpr int64_t kPageWidth = 8500000;

struct Rgb {
    uint8_t r, g, b;
    bool operator==(const Rgb &other) const { return r == other.r && g == other.g && b == other.b; }
};

// Colour of the chart at one point of page `page` (0-based; the chart prints
// its number, so feeder pages differ).
Rgb ChartColour(int64_t x, int64_t y, int page);

// Grey value of a colour (ITU-R 601 weights, rounded).
uint8_t GreyOf(Rgb colour);

// One scan of the chart: the area in pixels at the scan's resolution, as the
// settings record carries it.
struct Area {
    int xResolution = 150;
    int yResolution = 150;
    uint32_t xStart = 0;
    uint32_t yStart = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};

// Centre of pixel `index` at `resolution`, in micro-inches.
int64_t PixelCentre(uint32_t index, int resolution);

// Bytes of one line without padding: bitDepth 1, 8 or 24.
size_t LineBytes(uint32_t width, int bitDepth);
// `lineBytes` rounded up to a multiple of `boundary` (0 and 1: no padding).
size_t PaddedLineBytes(size_t lineBytes, unsigned boundary);

// Appends line `line` of the area (counted from the area's top) in the raw
// layout of `bitDepth`, padded with zero bytes to `boundary`.
void AppendLine(const Area &area, int bitDepth, int page, uint32_t line, unsigned boundary,
                std::vector<uint8_t> &out);

// Lines of a feeder page: the sheet ends `sheetLength` micro-inches from its
// leading edge; whole lines whose centre lies on the sheet, at most the area's
// height. A flatbed page always has the area's height.
uint32_t FeederPageLines(const Area &area, int64_t sheetLength);

// The first `lines` lines of the area as one baseline JPEG stream (8-bit:
// one grey component; 24-bit: three components), libjpeg at `quality`.
// Empty when libjpeg fails.
std::vector<uint8_t> EncodeJpeg(const Area &area, int bitDepth, int page, uint32_t lines, int quality);

// The same lines as a progressive JPEG whose frame header then claims
// `claimedWidth` x `claimedLines` (0 keeps the true value): a small hostile
// page whose header makes a decoder plan a whole-image coefficient buffer.
// Empty when libjpeg fails or a claim exceeds 65535.
std::vector<uint8_t> EncodeClaimingJpeg(const Area &area, int bitDepth, int page, uint32_t lines, int quality,
                                        uint32_t claimedWidth, uint32_t claimedLines);

// A decoded image: grey (1 byte a pixel) or RGB (3 bytes a pixel).
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    int components = 0;
    std::vector<uint8_t> pixels;
};

// libjpeg's decoding of `bytes` with the library's default settings; nullopt
// when the stream is not a whole JPEG image.
std::optional<Image> DecodeJpeg(const std::vector<uint8_t> &bytes);

// Peak signal-to-noise ratio in dB of two images of the same size and
// components (infinity when they are equal); nullopt when they differ in size.
std::optional<double> Psnr(const Image &a, const Image &b);

// The area rendered as an 8-bit or 24-bit image (no padding).
Image RenderImage(const Area &area, int bitDepth, int page, uint32_t lines);

} // namespace scan_chart

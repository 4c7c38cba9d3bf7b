#include "scan_chart.h"

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace scan_chart {

namespace {

constexpr int64_t inches(double value)
{
    return static_cast<int64_t>(value * 1000000.0 + (value >= 0 ? 0.5 : -0.5));
}

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};

bool inside(int64_t x, int64_t y, int64_t left, int64_t top, int64_t right, int64_t bottom)
{
    return x >= left && x < right && y >= top && y < bottom;
}

// ---- a 5x7 font for capitals, digits and the blank ----
struct Glyph {
    char letter;
    const char *rows[7];
};

const Glyph kGlyphs[] = {
    {'A', {"01110", "10001", "10001", "11111", "10001", "10001", "10001"}},
    {'B', {"11110", "10001", "10001", "11110", "10001", "10001", "11110"}},
    {'C', {"01110", "10001", "10000", "10000", "10000", "10001", "01110"}},
    {'D', {"11110", "10001", "10001", "10001", "10001", "10001", "11110"}},
    {'E', {"11111", "10000", "10000", "11110", "10000", "10000", "11111"}},
    {'F', {"11111", "10000", "10000", "11110", "10000", "10000", "10000"}},
    {'G', {"01110", "10001", "10000", "10111", "10001", "10001", "01111"}},
    {'H', {"10001", "10001", "10001", "11111", "10001", "10001", "10001"}},
    {'I', {"01110", "00100", "00100", "00100", "00100", "00100", "01110"}},
    {'J', {"00111", "00010", "00010", "00010", "00010", "10010", "01100"}},
    {'K', {"10001", "10010", "10100", "11000", "10100", "10010", "10001"}},
    {'L', {"10000", "10000", "10000", "10000", "10000", "10000", "11111"}},
    {'M', {"10001", "11011", "10101", "10101", "10001", "10001", "10001"}},
    {'N', {"10001", "10001", "11001", "10101", "10011", "10001", "10001"}},
    {'O', {"01110", "10001", "10001", "10001", "10001", "10001", "01110"}},
    {'P', {"11110", "10001", "10001", "11110", "10000", "10000", "10000"}},
    {'Q', {"01110", "10001", "10001", "10001", "10101", "10010", "01101"}},
    {'R', {"11110", "10001", "10001", "11110", "10100", "10010", "10001"}},
    {'S', {"01111", "10000", "10000", "01110", "00001", "00001", "11110"}},
    {'T', {"11111", "00100", "00100", "00100", "00100", "00100", "00100"}},
    {'U', {"10001", "10001", "10001", "10001", "10001", "10001", "01110"}},
    {'V', {"10001", "10001", "10001", "10001", "10001", "01010", "00100"}},
    {'W', {"10001", "10001", "10001", "10101", "10101", "10101", "01010"}},
    {'X', {"10001", "10001", "01010", "00100", "01010", "10001", "10001"}},
    {'Y', {"10001", "10001", "10001", "01010", "00100", "00100", "00100"}},
    {'Z', {"11111", "00001", "00010", "00100", "01000", "10000", "11111"}},
    {'0', {"01110", "10001", "10011", "10101", "11001", "10001", "01110"}},
    {'1', {"00100", "01100", "00100", "00100", "00100", "00100", "01110"}},
    {'2', {"01110", "10001", "00001", "00010", "00100", "01000", "11111"}},
    {'3', {"11111", "00010", "00100", "00010", "00001", "10001", "01110"}},
    {'4', {"00010", "00110", "01010", "10010", "11111", "00010", "00010"}},
    {'5', {"11111", "10000", "11110", "00001", "00001", "10001", "01110"}},
    {'6', {"00110", "01000", "10000", "11110", "10001", "10001", "01110"}},
    {'7', {"11111", "00001", "00010", "00100", "01000", "01000", "01000"}},
    {'8', {"01110", "10001", "10001", "01110", "10001", "10001", "01110"}},
    {'9', {"01110", "10001", "10001", "01111", "00001", "00010", "01100"}},
};

bool glyphDot(char letter, int column, int row)
{
    for (const Glyph &glyph : kGlyphs)
        if (glyph.letter == letter)
            return glyph.rows[row][column] == '1';
    return false; // the blank and anything unknown
}

// True when (x, y) falls on a dot of `text` written from (left, top), each
// font dot `module` square, one blank column between letters.
bool textDot(const char *text, int64_t left, int64_t top, int64_t module, int64_t x, int64_t y)
{
    if (x < left || y < top)
        return false;
    int64_t column = (x - left) / module;
    int64_t row = (y - top) / module;
    if (row >= 7)
        return false;
    int64_t letter = column / 6;
    int64_t inLetter = column % 6;
    if (letter >= static_cast<int64_t>(std::strlen(text)) || inLetter == 5)
        return false;
    return glyphDot(text[letter], static_cast<int>(inLetter), static_cast<int>(row));
}

int64_t squared(int64_t value)
{
    return value * value;
}

// Which side of the directed edge a->b the point lies on (sign of the cross product).
int64_t edge(int64_t ax, int64_t ay, int64_t bx, int64_t by, int64_t x, int64_t y)
{
    return (bx - ax) * (y - ay) - (by - ay) * (x - ax);
}

Rgb upperHalf(int64_t x, int64_t y, int page)
{
    // Title and page number.
    if (inside(x, y, inches(0.5), inches(0.45), inches(8.0), inches(0.80))) {
        if (textDot("RUVO TEST CHART", inches(0.5), inches(0.45), inches(0.05), x, y))
            return kBlack;
        char number[32];
        std::snprintf(number, sizeof(number), "PAGE %d", page + 1);
        if (textDot(number, inches(5.6), inches(0.45), inches(0.05), x, y))
            return Rgb{0, 0, 160};
        return kWhite;
    }
    // Colour bars.
    if (inside(x, y, inches(0.5), inches(1.1), inches(8.0), inches(1.9))) {
        static const Rgb bars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
        int64_t index = (x - inches(0.5)) * 8 / inches(7.5);
        return bars[std::clamp<int64_t>(index, 0, 7)];
    }
    // Grey ramp, black on the left to white on the right.
    if (inside(x, y, inches(0.5), inches(2.1), inches(8.0), inches(2.7))) {
        auto value = static_cast<uint8_t>(std::clamp<int64_t>((x - inches(0.5)) * 256 / inches(7.5), 0, 255));
        return Rgb{value, value, value};
    }
    // Eleven grey steps.
    if (inside(x, y, inches(0.5), inches(2.8), inches(8.0), inches(3.2))) {
        int64_t step = std::clamp<int64_t>((x - inches(0.5)) * 11 / inches(7.5), 0, 10);
        auto value = static_cast<uint8_t>(step * 255 / 10);
        return Rgb{value, value, value};
    }
    // A red disc with a white ring and a black centre.
    int64_t distance = squared(x - inches(2.0)) + squared(y - inches(4.6));
    if (distance < squared(inches(1.0))) {
        if (distance < squared(inches(0.15)))
            return kBlack;
        if (distance >= squared(inches(0.6)) && distance < squared(inches(0.7)))
            return kWhite;
        return Rgb{220, 30, 30};
    }
    // A blue triangle.
    int64_t ax = inches(4.5), ay = inches(3.6), bx = inches(5.5), by = inches(5.6), cx = inches(3.5), cy = inches(5.6);
    if (edge(ax, ay, bx, by, x, y) >= 0 && edge(bx, by, cx, cy, x, y) >= 0 && edge(cx, cy, ax, ay, x, y) >= 0)
        return Rgb{30, 60, 200};
    // A checkerboard of eighth-inch squares.
    if (inside(x, y, inches(6.0), inches(3.6), inches(8.0), inches(5.6))) {
        int64_t column = (x - inches(6.0)) / inches(0.125);
        int64_t row = (y - inches(3.6)) / inches(0.125);
        return (column + row) % 2 == 0 ? kBlack : kWhite;
    }
    // Line pairs of 1/10, 1/20, 1/40 and 1/80 inch.
    if (inside(x, y, inches(0.5), inches(6.0), inches(8.0), inches(6.8))) {
        static const int64_t widths[4] = {100000, 50000, 25000, 12500};
        int64_t group = (x - inches(0.5)) / inches(2.0);
        int64_t offset = (x - inches(0.5)) % inches(2.0);
        if (group < 4 && offset < inches(1.5))
            return (offset / widths[group]) % 2 == 0 ? kBlack : kWhite;
        return kWhite;
    }
    return kWhite;
}

Rgb lowerHalf(int64_t x, int64_t y)
{
    // A green diagonal bar.
    int64_t ax = inches(0.5), ay = inches(7.2), bx = inches(8.0), by = inches(8.2);
    int64_t cross = edge(ax, ay, bx, by, x, y);
    int64_t length = static_cast<int64_t>(std::sqrt(static_cast<double>(squared(bx - ax) + squared(by - ay))));
    int64_t along = (x - ax) * (bx - ax) + (y - ay) * (by - ay);
    if (std::llabs(cross) <= inches(0.04) * length && along >= 0 && along <= squared(bx - ax) + squared(by - ay))
        return Rgb{0, 150, 60};
    // The alphabet and the digits.
    if (textDot("ABCDEFGHIJKLMNOPQRSTUVWXYZ", inches(0.5), inches(8.6), inches(0.04), x, y))
        return kBlack;
    if (textDot("0123456789", inches(0.5), inches(9.1), inches(0.04), x, y))
        return kBlack;
    // A yellow box with a magenta border.
    if (inside(x, y, inches(5.5), inches(8.9), inches(8.0), inches(10.0))) {
        if (inside(x, y, inches(5.55), inches(8.95), inches(7.95), inches(9.95)))
            return Rgb{255, 230, 0};
        return Rgb{200, 0, 160};
    }
    return kWhite;
}

// libjpeg reports fatal errors through error_exit; this one jumps back.
struct JpegError {
    jpeg_error_mgr manager;
    jmp_buf jump;
};

void jpegErrorExit(j_common_ptr info)
{
    longjmp(reinterpret_cast<JpegError *>(info->err)->jump, 1);
}

void jpegSilent(j_common_ptr, int) {}

} // namespace

Rgb ChartColour(int64_t x, int64_t y, int page)
{
    // Beyond the page's width, and far below any sheet, there is only white
    // (which also keeps the squared distances below well inside 64 bits).
    if (x < 0 || y < 0 || x >= kPageWidth || y >= inches(100.0))
        return kWhite;
    // The frame: a black outline a little inside the page edges.
    bool inFrame = inside(x, y, inches(0.2), inches(0.2), inches(8.3), inches(11.5));
    bool inInner = inside(x, y, inches(0.24), inches(0.24), inches(8.26), inches(11.46));
    if (inFrame && !inInner)
        return kBlack;
    if (y >= inches(11.5)) {
        // Below the chart, a ruler: a tick every half inch on the left.
        if (x >= inches(0.2) && x < inches(1.0) && (y % inches(0.5)) < inches(0.03))
            return kBlack;
        return kWhite;
    }
    if (y < inches(7.0))
        return upperHalf(x, y, page);
    return lowerHalf(x, y);
}

uint8_t GreyOf(Rgb colour)
{
    return static_cast<uint8_t>((299 * colour.r + 587 * colour.g + 114 * colour.b + 500) / 1000);
}

int64_t PixelCentre(uint32_t index, int resolution)
{
    return (static_cast<int64_t>(2 * static_cast<int64_t>(index) + 1) * kMicroInch) / (2 * resolution);
}

size_t LineBytes(uint32_t width, int bitDepth)
{
    switch (bitDepth) {
    case 1: return (static_cast<size_t>(width) + 7) / 8;
    case 8: return width;
    default: return static_cast<size_t>(width) * 3;
    }
}

size_t PaddedLineBytes(size_t lineBytes, unsigned boundary)
{
    if (boundary <= 1)
        return lineBytes;
    return (lineBytes + boundary - 1) / boundary * boundary;
}

void AppendLine(const Area &area, int bitDepth, int page, uint32_t line, unsigned boundary, std::vector<uint8_t> &out)
{
    size_t start = out.size();
    size_t lineBytes = LineBytes(area.width, bitDepth);
    out.resize(start + PaddedLineBytes(lineBytes, boundary), 0);
    uint8_t *bytes = out.data() + start;
    int64_t y = PixelCentre(area.yStart + line, area.yResolution);
    for (uint32_t column = 0; column < area.width; ++column) {
        Rgb colour = ChartColour(PixelCentre(area.xStart + column, area.xResolution), y, page);
        switch (bitDepth) {
        case 1:
            if (GreyOf(colour) < 128)
                bytes[column / 8] |= static_cast<uint8_t>(0x80u >> (column % 8));
            break;
        case 8: bytes[column] = GreyOf(colour); break;
        default:
            bytes[3 * column] = colour.r;
            bytes[3 * column + 1] = colour.g;
            bytes[3 * column + 2] = colour.b;
            break;
        }
    }
}

uint32_t FeederPageLines(const Area &area, int64_t sheetLength)
{
    uint32_t lines = 0;
    // Whole lines whose centre lies on the sheet; found by arithmetic, then
    // settled against PixelCentre so the two never disagree by one.
    int64_t estimate = sheetLength * area.yResolution / kMicroInch - area.yStart + 2;
    estimate = std::clamp<int64_t>(estimate, 0, area.height);
    lines = static_cast<uint32_t>(estimate);
    while (lines > 0 && PixelCentre(area.yStart + lines - 1, area.yResolution) >= sheetLength)
        --lines;
    while (lines < area.height && PixelCentre(area.yStart + lines, area.yResolution) < sheetLength)
        ++lines;
    return lines;
}

Image RenderImage(const Area &area, int bitDepth, int page, uint32_t lines)
{
    Image image;
    image.width = area.width;
    image.height = lines;
    image.components = bitDepth == 8 ? 1 : 3;
    image.pixels.reserve(static_cast<size_t>(area.width) * lines * static_cast<size_t>(image.components));
    for (uint32_t line = 0; line < lines; ++line)
        AppendLine(area, image.components == 1 ? 8 : 24, page, line, 0, image.pixels);
    return image;
}

namespace {

// The libjpeg calls live in functions whose only locals are the library's own
// records, so a jump back from error_exit leaves nothing half-built.
struct EncodeJob {
    const Area *area;
    int components;
    int page;
    uint32_t lines;
    int quality;
    unsigned char *buffer;
    unsigned long size;
    bool progressive;
};

void writeRows(jpeg_compress_struct *info, const EncodeJob *job)
{
    std::vector<uint8_t> line;
    for (uint32_t index = 0; index < job->lines; ++index) {
        line.clear();
        AppendLine(*job->area, job->components == 1 ? 8 : 24, job->page, index, 0, line);
        JSAMPROW row = line.data();
        jpeg_write_scanlines(info, &row, 1);
    }
}

bool runEncode(EncodeJob *job)
{
    jpeg_compress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegErrorExit;
    error.manager.emit_message = jpegSilent;
    if (setjmp(error.jump)) {
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, &job->buffer, &job->size);
    info.image_width = job->area->width;
    info.image_height = job->lines;
    info.input_components = job->components;
    info.in_color_space = job->components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, job->quality, TRUE);
    if (job->progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    writeRows(&info, job);
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

void readRows(jpeg_decompress_struct *info, Image *image)
{
    image->width = info->output_width;
    image->height = info->output_height;
    image->components = info->output_components;
    size_t stride = static_cast<size_t>(image->width) * static_cast<size_t>(image->components);
    image->pixels.resize(stride * image->height);
    while (info->output_scanline < info->output_height) {
        JSAMPROW row = image->pixels.data() + stride * info->output_scanline;
        jpeg_read_scanlines(info, &row, 1);
    }
}

bool runDecode(const std::vector<uint8_t> *bytes, Image *image)
{
    jpeg_decompress_struct info;
    JpegError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegErrorExit;
    error.manager.emit_message = jpegSilent;
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes->data(), static_cast<unsigned long>(bytes->size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_start_decompress(&info);
    readRows(&info, image);
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

} // namespace

std::vector<uint8_t> EncodeJpeg(const Area &area, int bitDepth, int page, uint32_t lines, int quality)
{
    if (area.width == 0 || lines == 0 || area.width > 65500 || lines > 65500)
        return {};
    EncodeJob job{&area, bitDepth == 8 ? 1 : 3, page, lines, quality, nullptr, 0, false};
    std::vector<uint8_t> result;
    if (runEncode(&job) && job.buffer)
        result.assign(job.buffer, job.buffer + job.size);
    std::free(job.buffer);
    return result;
}

std::vector<uint8_t> EncodeClaimingJpeg(const Area &area, int bitDepth, int page, uint32_t lines, int quality,
                                        uint32_t claimedWidth, uint32_t claimedLines)
{
    if (area.width == 0 || lines == 0 || area.width > 65500 || lines > 65500 || claimedWidth > 65535 ||
        claimedLines > 65535)
        return {};
    EncodeJob job{&area, bitDepth == 8 ? 1 : 3, page, lines, quality, nullptr, 0, true};
    std::vector<uint8_t> result;
    if (runEncode(&job) && job.buffer)
        result.assign(job.buffer, job.buffer + job.size);
    std::free(job.buffer);
    // The progressive frame header: marker, length (2), precision (1), height (2), width (2).
    for (size_t i = 0; i + 8 < result.size(); ++i) {
        if (result[i] != 0xFF || result[i + 1] != 0xC2)
            continue;
        if (claimedLines) {
            result[i + 5] = static_cast<uint8_t>(claimedLines >> 8);
            result[i + 6] = static_cast<uint8_t>(claimedLines & 0xFF);
        }
        if (claimedWidth) {
            result[i + 7] = static_cast<uint8_t>(claimedWidth >> 8);
            result[i + 8] = static_cast<uint8_t>(claimedWidth & 0xFF);
        }
        break;
    }
    return result;
}

std::optional<Image> DecodeJpeg(const std::vector<uint8_t> &bytes)
{
    if (bytes.empty())
        return std::nullopt;
    Image image;
    if (!runDecode(&bytes, &image))
        return std::nullopt;
    return image;
}

std::optional<double> Psnr(const Image &a, const Image &b)
{
    if (a.width != b.width || a.height != b.height || a.components != b.components ||
        a.pixels.size() != b.pixels.size())
        return std::nullopt;
    if (a.pixels.empty())
        return std::numeric_limits<double>::infinity();
    double sum = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i) {
        double difference = static_cast<double>(a.pixels[i]) - static_cast<double>(b.pixels[i]);
        sum += difference * difference;
    }
    if (sum == 0)
        return std::numeric_limits<double>::infinity();
    double meanSquare = sum / static_cast<double>(a.pixels.size());
    return 10.0 * std::log10(255.0 * 255.0 / meanSquare);
}

} // namespace scan_chart

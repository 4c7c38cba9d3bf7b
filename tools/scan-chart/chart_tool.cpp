// scan-chart: the test chart from the command line, for tests and by hand.
//
//   scan-chart render --resolution X[:Y] --area XSTART,YSTART,WIDTH,HEIGHT
//                     --depth 1|8|24 [--page N] [--lines N] > out.pnm
//   scan-chart decode-jpeg in.jpg > out.pnm     libjpeg's decoding, default settings
//   scan-chart psnr a.pnm b.pnm                 prints the PSNR in dB ("inf" when equal)
//
// The area is in pixels at the resolution, as the scanners receive it. Output
// is binary PNM: P4 for 1-bit (1 = black, as the scanners send it), P5 grey, P6 colour.

#include "scan_chart.h"

#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: scan-chart render --resolution X[:Y] --area X,Y,W,H --depth 1|8|24 [--page N] "
                         "[--lines N]\n       scan-chart decode-jpeg FILE\n       scan-chart psnr A.pnm B.pnm\n");
    return 2;
}

void writePnm(const char *magic, uint32_t width, uint32_t height, const std::vector<uint8_t> &bytes)
{
    std::printf("%s\n%u %u\n", magic, width, height);
    if (std::strcmp(magic, "P4") != 0)
        std::printf("255\n");
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

bool readFile(const char *path, std::vector<uint8_t> &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Reads a binary P5 or P6 file into an image.
bool readPnm(const char *path, scan_chart::Image &image)
{
    std::vector<uint8_t> bytes;
    if (!readFile(path, bytes) || bytes.size() < 2 || bytes[0] != 'P' || (bytes[1] != '5' && bytes[1] != '6'))
        return false;
    image.components = bytes[1] == '5' ? 1 : 3;
    size_t position = 2;
    unsigned values[3] = {0, 0, 0};
    for (unsigned &value : values) {
        while (position < bytes.size() && (std::isspace(bytes[position]) || bytes[position] == '#')) {
            if (bytes[position] == '#')
                while (position < bytes.size() && bytes[position] != '\n')
                    ++position;
            else
                ++position;
        }
        while (position < bytes.size() && std::isdigit(bytes[position]))
            value = value * 10 + static_cast<unsigned>(bytes[position++] - '0');
    }
    ++position; // the one white-space character after the maximum value
    image.width = values[0];
    image.height = values[1];
    size_t size = static_cast<size_t>(image.width) * image.height * static_cast<size_t>(image.components);
    if (values[2] != 255 || position + size != bytes.size())
        return false;
    image.pixels.assign(bytes.begin() + static_cast<std::ptrdiff_t>(position), bytes.end());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string action = argv[1];
    if (action == "decode-jpeg" && argc == 3) {
        std::vector<uint8_t> bytes;
        if (!readFile(argv[2], bytes))
            return usage();
        auto image = scan_chart::DecodeJpeg(bytes);
        if (!image) {
            std::fprintf(stderr, "scan-chart: %s is not a whole JPEG image\n", argv[2]);
            return 1;
        }
        writePnm(image->components == 1 ? "P5" : "P6", image->width, image->height, image->pixels);
        return 0;
    }
    if (action == "psnr" && argc == 4) {
        scan_chart::Image a, b;
        if (!readPnm(argv[2], a) || !readPnm(argv[3], b)) {
            std::fprintf(stderr, "scan-chart: psnr reads binary P5/P6 files with maximum 255\n");
            return 1;
        }
        auto psnr = scan_chart::Psnr(a, b);
        if (!psnr) {
            std::fprintf(stderr, "scan-chart: the images differ in size\n");
            return 1;
        }
        std::printf("%.3f\n", *psnr);
        return 0;
    }
    if (action != "render")
        return usage();
    scan_chart::Area area;
    int depth = 24, page = 0;
    long lines = -1;
    bool haveArea = false;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        const char *value = argv[i + 1];
        if (option == "--resolution") {
            area.xResolution = area.yResolution = std::atoi(value);
            if (const char *colon = std::strchr(value, ':'))
                area.yResolution = std::atoi(colon + 1);
        } else if (option == "--area") {
            haveArea = std::sscanf(value, "%u,%u,%u,%u", &area.xStart, &area.yStart, &area.width, &area.height) == 4;
        } else if (option == "--depth") {
            depth = std::atoi(value);
        } else if (option == "--page") {
            page = std::atoi(value);
        } else if (option == "--lines") {
            lines = std::atol(value);
        } else {
            return usage();
        }
    }
    if (!haveArea || area.xResolution <= 0 || area.yResolution <= 0 || (depth != 1 && depth != 8 && depth != 24))
        return usage();
    uint32_t count = lines >= 0 ? static_cast<uint32_t>(lines) : area.height;
    std::vector<uint8_t> bytes;
    for (uint32_t line = 0; line < count; ++line)
        scan_chart::AppendLine(area, depth, page, line, 0, bytes);
    writePnm(depth == 1 ? "P4" : depth == 8 ? "P5" : "P6", area.width, count, bytes);
    return 0;
}

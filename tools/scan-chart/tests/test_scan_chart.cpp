// The chart renderer: the same physical page whatever the resolution, area or
// depth, and the raw layout the scanners promise (bit order, polarity, padding).
#include "scan_chart.h"

#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>

using namespace scan_chart;

namespace {

Area area(int resolution, uint32_t x, uint32_t y, uint32_t width, uint32_t height)
{
    Area result;
    result.xResolution = result.yResolution = resolution;
    result.xStart = x;
    result.yStart = y;
    result.width = width;
    result.height = height;
    return result;
}

std::vector<uint8_t> render(const Area &scan, int depth, int page = 0, unsigned boundary = 0)
{
    std::vector<uint8_t> bytes;
    for (uint32_t line = 0; line < scan.height; ++line)
        AppendLine(scan, depth, page, line, boundary, bytes);
    return bytes;
}

// The pixel of a 24-bit render at (column, line).
Rgb pixel(const std::vector<uint8_t> &bytes, const Area &scan, uint32_t column, uint32_t line)
{
    size_t at = (static_cast<size_t>(line) * scan.width + column) * 3;
    return Rgb{bytes[at], bytes[at + 1], bytes[at + 2]};
}

} // namespace

class TestScanChart : public QObject {
    Q_OBJECT
private slots:
    void subAreaIsCropOfLargerArea_data();
    void subAreaIsCropOfLargerArea();
    void colourBarsSitAtTheirPlaceAtEveryResolution_data();
    void colourBarsSitAtTheirPlaceAtEveryResolution();
    void greyRampRisesFromBlackToWhite();
    void greyAndLineartFollowTheColourRender();
    void lineartPacksLeftmostPixelInHighBitWithZeroPadding();
    void feederPageEndsWithTheSheet_data();
    void feederPageEndsWithTheSheet();
    void jpegKeepsTheChartAboveThirtyDecibels_data();
    void jpegKeepsTheChartAboveThirtyDecibels();
    void claimingJpegIsProgressiveWithTheClaimedFrame_data();
    void claimingJpegIsProgressiveWithTheClaimedFrame();
    void pagesDifferOnlyInTheirNumber();
    void psnrOfEqualAndMismatchedImages();
};

void TestScanChart::subAreaIsCropOfLargerArea_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("resolution");
    QTest::addRow("colour 100 dpi") << 24 << 100;
    QTest::addRow("grey 150 dpi") << 8 << 150;
    QTest::addRow("lineart 75 dpi") << 1 << 75;
}

void TestScanChart::subAreaIsCropOfLargerArea()
{
    QFETCH(int, depth);
    QFETCH(int, resolution);
    // The big area covers the title, the bars and the disc; the small one
    // starts 16 pixels in (a whole byte of 1-bit pixels) and 37 lines down.
    Area big = area(resolution, 40, 20, 400, 500);
    Area small = area(resolution, 56, 57, 203, 311);
    std::vector<uint8_t> whole = render(big, depth);
    std::vector<uint8_t> part = render(small, depth);
    size_t bigLine = LineBytes(big.width, depth), smallLine = LineBytes(small.width, depth);
    size_t columnOffset = LineBytes(small.xStart - big.xStart, depth);
    for (uint32_t line = 0; line < small.height; ++line) {
        const uint8_t *expected = whole.data() + (line + small.yStart - big.yStart) * bigLine + columnOffset;
        const uint8_t *actual = part.data() + line * smallLine;
        size_t full = depth == 1 ? small.width / 8 : smallLine;
        QVERIFY2(std::equal(actual, actual + full, expected), qPrintable(QString("line %1").arg(line)));
        if (depth == 1 && small.width % 8) {
            // The last byte's unused low bits are white.
            uint8_t mask = static_cast<uint8_t>(0xFF << (8 - small.width % 8));
            QCOMPARE(actual[full] & mask, expected[full] & mask);
            QCOMPARE(actual[full] & ~mask & 0xFF, 0);
        }
    }
}

void TestScanChart::colourBarsSitAtTheirPlaceAtEveryResolution_data()
{
    QTest::addColumn<int>("resolution");
    for (int resolution : {75, 100, 150, 300, 600, 1200})
        QTest::addRow("%d dpi", resolution) << resolution;
}

void TestScanChart::colourBarsSitAtTheirPlaceAtEveryResolution()
{
    QFETCH(int, resolution);
    // Bars 0.9375 in wide from 0.5 in, between 1.1 and 1.9 in down: white,
    // yellow, cyan, green, magenta, red, blue, black.
    const Rgb expected[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                             {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    uint32_t line = static_cast<uint32_t>(1.5 * resolution);
    for (int bar = 0; bar < 8; ++bar) {
        uint32_t column = static_cast<uint32_t>((0.5 + (bar + 0.5) * 0.9375) * resolution);
        Area one = area(resolution, column, line, 1, 1);
        std::vector<uint8_t> bytes = render(one, 24);
        QCOMPARE(pixel(bytes, one, 0, 0), expected[bar]);
    }
}

void TestScanChart::greyRampRisesFromBlackToWhite()
{
    Area ramp = area(200, 100, static_cast<uint32_t>(2.4 * 200), 1500, 1);
    std::vector<uint8_t> grey = render(ramp, 8);
    QVERIFY(grey.front() < 5);
    QVERIFY(grey.back() > 250);
    for (size_t i = 1; i < grey.size(); ++i)
        QVERIFY2(grey[i] >= grey[i - 1], qPrintable(QString("column %1").arg(i)));
}

void TestScanChart::greyAndLineartFollowTheColourRender()
{
    Area scan = area(75, 0, 0, 637, 300);
    std::vector<uint8_t> colour = render(scan, 24), grey = render(scan, 8), lineart = render(scan, 1);
    size_t lineartLine = LineBytes(scan.width, 1);
    QCOMPARE(lineartLine, size_t(80));
    for (uint32_t line = 0; line < scan.height; ++line) {
        for (uint32_t column = 0; column < scan.width; ++column) {
            uint8_t value = GreyOf(pixel(colour, scan, column, line));
            QCOMPARE(grey[line * scan.width + column], value);
            bool black = (lineart[line * lineartLine + column / 8] >> (7 - column % 8)) & 1;
            QCOMPARE(black, value < 128);
        }
    }
}

void TestScanChart::lineartPacksLeftmostPixelInHighBitWithZeroPadding()
{
    // 1.4 in down, the green bar (grey 150: white) meets the magenta bar
    // (grey 105: black). Twelve pixels starting four before the magenta bar:
    // four white, then eight black.
    int resolution = 100;
    uint32_t magentaStart = static_cast<uint32_t>(std::ceil((0.5 + 4 * 0.9375) * resolution));
    Area scan = area(resolution, magentaStart - 4, 140, 12, 1);
    std::vector<uint8_t> bytes = render(scan, 1, 0, 4);
    QCOMPARE(bytes.size(), size_t(4)); // two bytes of pixels padded to a boundary of four
    QCOMPARE(int(bytes[0]), 0x0F);
    QCOMPARE(int(bytes[1]), 0xF0);
    QCOMPARE(int(bytes[2]), 0);
    QCOMPARE(int(bytes[3]), 0);
    QCOMPARE(PaddedLineBytes(10, 0), size_t(10));
    QCOMPARE(PaddedLineBytes(10, 1), size_t(10));
    QCOMPARE(PaddedLineBytes(12, 4), size_t(12));
    QCOMPARE(PaddedLineBytes(13, 8), size_t(16));
}

void TestScanChart::feederPageEndsWithTheSheet_data()
{
    QTest::addColumn<int>("resolution");
    QTest::addColumn<uint32_t>("yStart");
    QTest::addColumn<uint32_t>("height");
    QTest::addColumn<double>("sheetInches");
    QTest::addColumn<uint32_t>("lines");
    QTest::addRow("letter at 100 dpi") << 100 << 0u << 1400u << 11.0 << 1100u;
    QTest::addRow("area starts 1 in down") << 100 << 100u << 1400u << 11.0 << 1000u;
    QTest::addRow("area shorter than the sheet") << 300 << 0u << 900u << 11.0 << 900u;
    QTest::addRow("area below the sheet's end") << 75 << 900u << 100u << 11.0 << 0u;
    QTest::addRow("sheet ends mid-pixel at 75 dpi") << 75 << 0u << 2000u << 11.69 << 877u;
}

void TestScanChart::feederPageEndsWithTheSheet()
{
    QFETCH(int, resolution);
    QFETCH(uint32_t, yStart);
    QFETCH(uint32_t, height);
    QFETCH(double, sheetInches);
    QFETCH(uint32_t, lines);
    Area scan = area(resolution, 0, yStart, 100, height);
    QCOMPARE(FeederPageLines(scan, static_cast<int64_t>(sheetInches * kMicroInch)), lines);
}

void TestScanChart::jpegKeepsTheChartAboveThirtyDecibels_data()
{
    QTest::addColumn<int>("depth");
    QTest::addRow("grey") << 8;
    QTest::addRow("colour") << 24;
}

void TestScanChart::jpegKeepsTheChartAboveThirtyDecibels()
{
    QFETCH(int, depth);
    Area scan = area(100, 10, 10, 801, 700);
    std::vector<uint8_t> jpeg = EncodeJpeg(scan, depth, 0, 650, 70);
    QVERIFY(jpeg.size() > 100);
    QCOMPARE(int(jpeg[0]), 0xFF);
    QCOMPARE(int(jpeg[1]), 0xD8);
    auto decoded = DecodeJpeg(jpeg);
    QVERIFY(decoded);
    QCOMPARE(decoded->width, 801u);
    QCOMPARE(decoded->height, 650u);
    QCOMPARE(decoded->components, depth == 8 ? 1 : 3);
    auto psnr = Psnr(*decoded, RenderImage(scan, depth, 0, 650));
    QVERIFY(psnr);
    QVERIFY2(*psnr >= 30.0, qPrintable(QString::number(*psnr)));
    QVERIFY(*psnr < 60.0); // lossy: not the raw pixels
    QVERIFY(!DecodeJpeg(std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + 20)));
}

namespace {
const std::array<uint8_t, 2> kProgressiveFrame{0xFF, 0xC2};
} // namespace

void TestScanChart::claimingJpegIsProgressiveWithTheClaimedFrame_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("claimedWidth");
    QTest::addColumn<int>("claimedLines");
    QTest::addRow("grey, true frame") << 8 << 0 << 0;
    QTest::addRow("colour, claims 65535 lines") << 24 << 0 << 65535;
    QTest::addRow("grey, claims 65535 x 65535") << 8 << 65535 << 65535;
}

void TestScanChart::claimingJpegIsProgressiveWithTheClaimedFrame()
{
    QFETCH(int, depth);
    QFETCH(int, claimedWidth);
    QFETCH(int, claimedLines);
    Area scan = area(100, 0, 0, 400, 300);
    std::vector<uint8_t> jpeg =
        EncodeClaimingJpeg(scan, depth, 0, 16, 70, uint32_t(claimedWidth), uint32_t(claimedLines));
    QVERIFY(jpeg.size() > 100 && jpeg.size() < 20000);
    auto frame = std::search(jpeg.begin(), jpeg.end(), kProgressiveFrame.begin(), kProgressiveFrame.end());
    QVERIFY(frame != jpeg.end() && jpeg.end() - frame > 9);
    const int lines = frame[5] << 8 | frame[6], width = frame[7] << 8 | frame[8];
    QCOMPARE(lines, claimedLines ? claimedLines : 16);
    QCOMPARE(width, claimedWidth ? claimedWidth : 400);
    QCOMPARE(int(frame[9]), depth == 8 ? 1 : 3);
    // With its true frame it is an ordinary page of the chart.
    if (!claimedWidth && !claimedLines) {
        auto decoded = DecodeJpeg(jpeg);
        QVERIFY(decoded);
        auto psnr = Psnr(*decoded, RenderImage(scan, depth, 0, 16));
        QVERIFY(psnr && *psnr >= 30.0);
    }
    QVERIFY(EncodeClaimingJpeg(scan, depth, 0, 16, 70, 65536, 0).empty());
}

void TestScanChart::pagesDifferOnlyInTheirNumber()
{
    Area top = area(100, 0, 0, 850, 100);
    QVERIFY(render(top, 24, 0) != render(top, 24, 1));
    Area below = area(100, 0, 100, 850, 200);
    QVERIFY(render(below, 24, 0) == render(below, 24, 1));
}

void TestScanChart::psnrOfEqualAndMismatchedImages()
{
    Area scan = area(75, 0, 0, 50, 40);
    Image a = RenderImage(scan, 24, 0, 40);
    QVERIFY(std::isinf(*Psnr(a, a)));
    Image b = a;
    b.pixels[0] ^= 0xFF;
    QVERIFY(std::isfinite(*Psnr(a, b)));
    b.height = 39;
    QVERIFY(!Psnr(a, b));
}

QTEST_APPLESS_MAIN(TestScanChart)
#include "test_scan_chart.moc"

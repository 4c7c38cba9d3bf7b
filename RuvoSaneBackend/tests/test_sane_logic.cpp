// The backend's pure parts: the record stream, the area arithmetic and the
// page decoders.
#include "page_decoder.h"
#include "page_tracker.h"
#include "scan_chart.h"
#include "scan_geometry.h"
#include "scan_types.h"

#include <QtTest>

#include <cstdio>
#include <cstring>
#include <jpeglib.h>

using namespace ruvo_sane;

namespace {

// Records written the way the daemon lays them out, independently of the decoder.
QByteArray usbRecord(int32_t status, int32_t fileIndex, int32_t dataSize, int32_t result)
{
    int32_t fields[4] = {status, fileIndex, dataSize, result};
    return QByteArray(reinterpret_cast<const char *>(fields), 16);
}

QByteArray tcpRecord(int32_t result, int32_t length, int32_t fileIndex, int32_t status)
{
    int32_t fields[4] = {result, length, fileIndex, status};
    return QByteArray(reinterpret_cast<const char *>(fields), 16);
}

struct TrackerRun {
    PageTracker tracker;
    QSet<int> existingFiles;
    void apply(const QByteArray &record, bool usb)
    {
        auto *bytes = reinterpret_cast<const uint8_t *>(record.constData());
        tracker.apply(usb ? DecodeUsbRecord(bytes) : DecodeTcpRecord(bytes),
                      [this](int page) { return existingFiles.contains(page); });
    }
};

std::vector<uint8_t> drain(PageDecoder &decoder, const std::vector<uint8_t> &input, size_t piece, size_t capacity)
{
    std::vector<uint8_t> output;
    std::vector<uint8_t> buffer(capacity);
    size_t fed = 0;
    for (int guard = 0; guard < 10000000; ++guard) {
        size_t got = decoder.produce(buffer.data(), buffer.size());
        output.insert(output.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(got));
        if (got > 0)
            continue;
        if (decoder.state() != PageDecoder::State::NeedInput)
            break;
        if (fed < input.size()) {
            size_t count = std::min(piece, input.size() - fed);
            decoder.feed(input.data() + fed, count);
            fed += count;
        } else {
            decoder.finishInput();
        }
    }
    return output;
}

// The chart's page of 157 x 90 pixels at 75 dpi from (x, y), as the scanner
// sends it in JPEG (quality 70).
std::vector<uint8_t> chartJpeg(int depth, uint32_t x, uint32_t y)
{
    scan_chart::Area area;
    area.xResolution = area.yResolution = 75;
    area.xStart = x;
    area.yStart = y;
    area.width = 157;
    area.height = 90;
    return scan_chart::EncodeJpeg(area, depth, 0, 90, 70);
}

} // namespace

class TestSaneLogic : public QObject {
    Q_OBJECT
private slots:
    void usbRecordStreams_data();
    void usbRecordStreams();
    void networkRecordStreams_data();
    void networkRecordStreams();
    void impossibleRecordsEndTheScan_data();
    void impossibleRecordsEndTheScan();
    void areaInPixels_data();
    void areaInPixels();
    void settingsAndShape();
    void rawDecoderDropsPaddingAndKeepsWholeLines_data();
    void rawDecoderDropsPaddingAndKeepsWholeLines();
    void jpegDecodedPieceByPieceEqualsLibjpeg_data();
    void jpegDecodedPieceByPieceEqualsLibjpeg();
    void jpegThatIsNotThePageFails_data();
    void jpegThatIsNotThePageFails();
    void hostileProgressivePagesStayBounded_data();
    void hostileProgressivePagesStayBounded();
};

void TestSaneLogic::usbRecordStreams_data()
{
    QTest::addColumn<QList<QByteArray>>("records");
    QTest::addColumn<QList<int>>("filesThere");
    QTest::addColumn<QList<qulonglong>>("pageBytes");
    QTest::addColumn<bool>("finished");
    QTest::addColumn<int>("result");
    // As the daemon reports a two-page feeder scan: begin of scan, then per
    // page its begin (index of the new file), data (files so far), its end.
    QList<QByteArray> twoPages = {usbRecord(8, 0, 0, 0),   usbRecord(9, 0, 0, 0),   usbRecord(0, 1, 700, 0),
                                  usbRecord(0, 1, 300, 0), usbRecord(7, 1, 0, 0),   usbRecord(9, 1, 0, 0),
                                  usbRecord(0, 2, 500, 0), usbRecord(7, 2, 0, 0),   usbRecord(1, 2, 0, 5)};
    QTest::addRow("two pages to the end") << twoPages << QList<int>{0, 1} << QList<qulonglong>{1000, 500} << true << 5;
    QTest::addRow("still scanning") << twoPages.mid(0, 8) << QList<int>{0, 1} << QList<qulonglong>{1000, 500} << false
                                    << 0;
    // A device read that brought no record repeats the begin-of-page status
    // with the advanced counter: no new page, because no file 1 exists.
    QTest::addRow("repeated begin of page")
        << QList<QByteArray>{usbRecord(9, 0, 0, 0), usbRecord(9, 1, 0, 0), usbRecord(0, 1, 400, 0)} << QList<int>{0}
        << QList<qulonglong>{400} << false << 0;
    QTest::addRow("data before any page begins")
        << QList<QByteArray>{usbRecord(0, 1, 200, 0), usbRecord(0, 1, 100, 0)} << QList<int>{0}
        << QList<qulonglong>{300} << false << 0;
    QTest::addRow("jam ends the scan")
        << QList<QByteArray>{usbRecord(9, 0, 0, 0), usbRecord(0, 1, 100, 0), usbRecord(5, 1, 0, 6)} << QList<int>{0}
        << QList<qulonglong>{100} << true << 6;
    QTest::addRow("failed write is not counted")
        << QList<QByteArray>{usbRecord(9, 0, 0, 0), usbRecord(0, 1, 100, 0), usbRecord(0, 1, 100, 9)}
        << QList<int>{0} << QList<qulonglong>{100} << true << 9;
    QTest::addRow("page file not created")
        << QList<QByteArray>{usbRecord(0, 0, 0, 11)} << QList<int>{} << QList<qulonglong>{} << true << 11;
}

void TestSaneLogic::usbRecordStreams()
{
    QFETCH(QList<QByteArray>, records);
    QFETCH(QList<int>, filesThere);
    QFETCH(QList<qulonglong>, pageBytes);
    QFETCH(bool, finished);
    QFETCH(int, result);
    TrackerRun run;
    run.existingFiles = QSet<int>(filesThere.begin(), filesThere.end());
    for (const QByteArray &record : records)
        run.apply(record, true);
    QCOMPARE(run.tracker.pagesBegun(), pageBytes.size());
    for (int page = 0; page < pageBytes.size(); ++page)
        QCOMPARE(qulonglong(run.tracker.availableBytes(page)), pageBytes[page]);
    QCOMPARE(run.tracker.finished(), finished);
    QVERIFY(!run.tracker.protocolError());
    if (finished) {
        QCOMPARE(run.tracker.finalResult(), result);
        for (int page = 0; page < pageBytes.size(); ++page)
            QVERIFY(run.tracker.pageComplete(page));
    } else if (pageBytes.size() > 1) {
        QVERIFY(run.tracker.pageComplete(0));
        QVERIFY(run.tracker.pageComplete(pageBytes.size() - 1)); // its end-of-page record came
    }
}

void TestSaneLogic::networkRecordStreams_data()
{
    QTest::addColumn<QList<QByteArray>>("records");
    QTest::addColumn<QList<qulonglong>>("pageBytes");
    QTest::addColumn<QList<bool>>("complete");
    // Network records: result, length, fileIndex, status; no end-of-page record,
    // so a page is complete when the next begins or the scan ends.
    QTest::addRow("second page running")
        << QList<QByteArray>{tcpRecord(0, 0, 0, 9), tcpRecord(0, 65536, 1, 0), tcpRecord(0, 100, 1, 0),
                             tcpRecord(0, 0, 1, 9), tcpRecord(0, 3000, 2, 0)}
        << QList<qulonglong>{65636, 3000} << QList<bool>{true, false};
    // The daemon forces the first record to begin page 0 even when it carries data.
    QTest::addRow("first block is data")
        << QList<QByteArray>{tcpRecord(0, 500, 0, 9), tcpRecord(0, 200, 1, 0), tcpRecord(5, 0, 1, 1)}
        << QList<qulonglong>{700} << QList<bool>{true};
}

void TestSaneLogic::networkRecordStreams()
{
    QFETCH(QList<QByteArray>, records);
    QFETCH(QList<qulonglong>, pageBytes);
    QFETCH(QList<bool>, complete);
    TrackerRun run;
    run.existingFiles = {0, 1, 2};
    for (const QByteArray &record : records)
        run.apply(record, false);
    QVERIFY(!run.tracker.protocolError());
    QCOMPARE(run.tracker.pagesBegun(), pageBytes.size());
    for (int page = 0; page < pageBytes.size(); ++page) {
        QCOMPARE(qulonglong(run.tracker.availableBytes(page)), pageBytes[page]);
        QCOMPARE(run.tracker.pageComplete(page), complete[page]);
    }
}

void TestSaneLogic::impossibleRecordsEndTheScan_data()
{
    QTest::addColumn<QList<QByteArray>>("records");
    QTest::addRow("negative size") << QList<QByteArray>{usbRecord(9, 0, 0, 0), usbRecord(0, 1, -5, 0)};
    QTest::addRow("page skipped") << QList<QByteArray>{usbRecord(9, 0, 0, 0), usbRecord(9, 2, 0, 0)};
    QTest::addRow("data for a page long done")
        << QList<QByteArray>{usbRecord(9, 0, 0, 0), usbRecord(9, 1, 0, 0), usbRecord(0, 1, 10, 0)};
    QTest::addRow("index beyond any scan") << QList<QByteArray>{usbRecord(0, 2000000000, 10, 0)};
}

void TestSaneLogic::impossibleRecordsEndTheScan()
{
    QFETCH(QList<QByteArray>, records);
    TrackerRun run;
    run.existingFiles = {0, 1, 2};
    for (const QByteArray &record : records)
        run.apply(record, true);
    QVERIFY(run.tracker.protocolError());
    QVERIFY(run.tracker.finished());
    QCOMPARE(run.tracker.finalResult(), int(ruvo_wire::RESULT_IO_ERROR));
}

void TestSaneLogic::areaInPixels_data()
{
    QTest::addColumn<double>("left");
    QTest::addColumn<double>("top");
    QTest::addColumn<double>("right");
    QTest::addColumn<double>("bottom");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<QList<uint>>("pixels"); // xStart, yStart, width, height
    QTest::addRow("letter width at 300") << 0.0 << 0.0 << 215.9 << 279.4 << 300 << QList<uint>{0, 0, 2550, 3300};
    QTest::addRow("edges rounded each") << 10.0 << 10.0 << 60.0 << 50.0 << 75 << QList<uint>{30, 30, 147, 118};
    QTest::addRow("thinner than a pixel") << 10.0 << 10.0 << 10.1 << 10.1 << 75 << QList<uint>{30, 30, 1, 1};
    QTest::addRow("reversed is empty") << 50.0 << 10.0 << 10.0 << 60.0 << 150 << QList<uint>{0, 0, 0, 0};
}

void TestSaneLogic::areaInPixels()
{
    QFETCH(double, left);
    QFETCH(double, top);
    QFETCH(double, right);
    QFETCH(double, bottom);
    QFETCH(int, resolution);
    QFETCH(QList<uint>, pixels);
    ScanChoice choice;
    choice.left = left;
    choice.top = top;
    choice.right = right;
    choice.bottom = bottom;
    choice.resolution = resolution;
    PixelArea area = ToPixels(choice);
    QCOMPARE((QList<uint>{area.xStart, area.yStart, area.width, area.height}), pixels);
}

void TestSaneLogic::settingsAndShape()
{
    ScanChoice choice;
    choice.right = 60;
    choice.bottom = 50;
    choice.left = choice.top = 10;
    choice.resolution = 75;
    choice.mode = ScanMode::Lineart;
    choice.jpeg = true;
    choice.feeder = true;
    SettingInfo settings{};
    FillSettings(choice, settings);
    QCOMPARE(int(settings.bitDepth), 1);
    QCOMPARE(settings.compType, int32_t(COMPRESSION_NONE)); // 1-bit never compressed
    QCOMPARE(int(settings.feederEnabled), 1);
    QCOMPARE(int(settings.isClient), 1); // every sheet in one scan
    QCOMPARE(settings.width, 147u);
    QCOMPARE(int(settings.xResolution), 75);
    FrameShape shape = ShapeOf(choice);
    QCOMPARE(shape.lines, int64_t(-1)); // a feeder page's length is the sheet's
    QCOMPARE(shape.bytesPerLine, size_t(19));
    QCOMPARE(shape.depth, 1);
    choice.mode = ScanMode::Color;
    choice.feeder = false;
    FillSettings(choice, settings);
    QCOMPARE(settings.compType, int32_t(COMPRESSION_JPEG));
    QCOMPARE(int(settings.bitDepth), 24);
    shape = ShapeOf(choice);
    QCOMPARE(shape.lines, int64_t(118));
    QCOMPARE(shape.bytesPerLine, size_t(441));
    QVERIFY(shape.colour);
    QCOMPARE(UsbResolutions(true).back(), 600);
    QCOMPARE(UsbResolutions(false).back(), 1200);
    QCOMPARE(NearestResolution(UsbResolutions(false), 280), 300);
}

void TestSaneLogic::rawDecoderDropsPaddingAndKeepsWholeLines_data()
{
    QTest::addColumn<int>("lines");        // -1: a feeder page
    QTest::addColumn<int>("linesSent");
    QTest::addColumn<int>("extraBytes");   // a broken-off line after the whole ones
    QTest::addColumn<int>("linesOut");
    QTest::addColumn<bool>("failed");
    QTest::addRow("flatbed, whole") << 5 << 5 << 0 << 5 << false;
    QTest::addRow("flatbed, short") << 5 << 4 << 0 << 4 << true;
    QTest::addRow("flatbed, more than asked") << 5 << 6 << 0 << 5 << false;
    QTest::addRow("feeder, broken-off line dropped") << -1 << 3 << 7 << 3 << false;
}

void TestSaneLogic::rawDecoderDropsPaddingAndKeepsWholeLines()
{
    QFETCH(int, lines);
    QFETCH(int, linesSent);
    QFETCH(int, extraBytes);
    QFETCH(int, linesOut);
    QFETCH(bool, failed);
    const size_t lineBytes = 13, stride = 16;
    std::vector<uint8_t> input, expected;
    for (int line = 0; line < linesSent; ++line) {
        for (size_t i = 0; i < stride; ++i) {
            uint8_t value = i < lineBytes ? static_cast<uint8_t>(line * 31 + i) : 0xEE;
            input.push_back(value);
            if (i < lineBytes && line < linesOut)
                expected.push_back(value);
        }
    }
    input.insert(input.end(), static_cast<size_t>(extraBytes), 0x55);
    for (size_t piece : {size_t(1), size_t(5), size_t(1000)}) {
        auto decoder = MakeRawDecoder(lineBytes, stride, lines);
        std::vector<uint8_t> output = drain(*decoder, input, piece, 7);
        QCOMPARE(output.size(), expected.size());
        QVERIFY(output == expected);
        QCOMPARE(decoder->state(), failed ? PageDecoder::State::Failed : PageDecoder::State::Done);
    }
}

void TestSaneLogic::jpegDecodedPieceByPieceEqualsLibjpeg_data()
{
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("lines");
    QTest::addRow("grey, flatbed") << 8 << 90;
    QTest::addRow("colour, feeder") << 24 << -1;
}

void TestSaneLogic::jpegDecodedPieceByPieceEqualsLibjpeg()
{
    QFETCH(int, depth);
    QFETCH(int, lines);
    std::vector<uint8_t> jpeg = chartJpeg(depth, 20, 60);
    auto whole = scan_chart::DecodeJpeg(jpeg);
    QVERIFY(whole);
    for (size_t piece : {size_t(1), size_t(100), size_t(4096)}) {
        auto decoder = MakeJpegDecoder(157, depth == 8 ? 1 : 3, lines, 90);
        std::vector<uint8_t> output = drain(*decoder, jpeg, piece, 333);
        QCOMPARE(decoder->state(), PageDecoder::State::Done);
        QCOMPARE(decoder->linesDone(), int64_t(90));
        QVERIFY2(output == whole->pixels, qPrintable(QString("piece %1").arg(piece)));
    }
}

void TestSaneLogic::jpegThatIsNotThePageFails_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("components");
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("keepBytes"); // 0: all
    QTest::addRow("cut off") << 157 << 1 << 90 << 900;
    QTest::addRow("other width") << 158 << 1 << 90 << 0;
    QTest::addRow("other height") << 157 << 1 << 91 << 0;
    QTest::addRow("colour expected") << 157 << 3 << 90 << 0;
    QTest::addRow("not a JPEG") << 157 << 1 << 90 << -1;
}

void TestSaneLogic::jpegThatIsNotThePageFails()
{
    QFETCH(int, width);
    QFETCH(int, components);
    QFETCH(int, lines);
    QFETCH(int, keepBytes);
    std::vector<uint8_t> jpeg = chartJpeg(8, 0, 0);
    if (keepBytes > 0)
        jpeg.resize(static_cast<size_t>(keepBytes));
    if (keepBytes < 0)
        jpeg.assign(5000, 0x42);
    auto decoder = MakeJpegDecoder(static_cast<uint32_t>(width), components, lines, 1000);
    drain(*decoder, jpeg, 512, 4096);
    QCOMPARE(decoder->state(), PageDecoder::State::Failed);
}

namespace {

// A progressive grey JPEG of `width` x `height` (a gradient), written by
// libjpeg itself, then its frame header made to claim `claimedHeight` lines.
std::vector<uint8_t> progressiveJpeg(int width, int height, int claimedHeight)
{
    jpeg_compress_struct info;
    jpeg_error_mgr error;
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 1;
    info.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&info);
    jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> line(static_cast<size_t>(width));
    while (info.next_scanline < info.image_height) {
        for (int x = 0; x < width; ++x)
            line[static_cast<size_t>(x)] = static_cast<uint8_t>((x + static_cast<int>(info.next_scanline)) & 0xFF);
        JSAMPROW row = line.data();
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    std::vector<uint8_t> bytes(buffer, buffer + size);
    std::free(buffer);
    jpeg_destroy_compress(&info);
    for (size_t i = 0; i + 8 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xC2) {
            bytes[i + 5] = static_cast<uint8_t>(claimedHeight >> 8);
            bytes[i + 6] = static_cast<uint8_t>(claimedHeight & 0xFF);
            break;
        }
    return bytes;
}

} // namespace

void TestSaneLogic::hostileProgressivePagesStayBounded_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("claimedHeight");
    QTest::addColumn<int>("sheetLines");
    QTest::addColumn<int>("linesExpected"); // -1: the page fails
    // A small progressive page is an ordinary page.
    QTest::addRow("progressive within bounds") << 300 << 200 << 1000 << 200;
    // Taller than a sheet: refused from its header, before libjpeg allocates.
    QTest::addRow("taller than the sheet") << 2000 << 20000 << 5000 << -1;
    // Within the sheet, but its coefficient buffer (80 MB) is over libjpeg's limit.
    QTest::addRow("buffer over the memory limit") << 2000 << 20000 << 30000 << -1;
}

void TestSaneLogic::hostileProgressivePagesStayBounded()
{
    QFETCH(int, width);
    QFETCH(int, claimedHeight);
    QFETCH(int, sheetLines);
    QFETCH(int, linesExpected);
    std::vector<uint8_t> jpeg = progressiveJpeg(width, std::min(claimedHeight, 200), claimedHeight);
    QVERIFY(jpeg.size() < 100000);
    auto decoder = MakeJpegDecoder(static_cast<uint32_t>(width), 1, -1, sheetLines);
    drain(*decoder, jpeg, 4096, 65536);
    if (linesExpected < 0) {
        QCOMPARE(decoder->state(), PageDecoder::State::Failed);
    } else {
        QCOMPARE(decoder->state(), PageDecoder::State::Done);
        QCOMPARE(decoder->linesDone(), int64_t(linesExpected));
    }
}

QTEST_APPLESS_MAIN(TestSaneLogic)
#include "test_sane_logic.moc"

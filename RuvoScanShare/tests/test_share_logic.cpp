// The share's pure parts: what clients read (capabilities, status), what they
// send (ScanSettings, paths), the setting file, and the band encoders.
#include "escl.h"
#include "page_encoder.h"
#include "share_rules.h"

#include <QImage>
#include <QtTest>

#include <cmath>

using namespace ruvo_share;

namespace {

ScannerDescription k402()
{
    ScannerDescription scanner;
    scanner.makeAndModel = "Ruvo K402ADN";
    scanner.serial = "RV<&>1";
    scanner.uuid = "u";
    scanner.formats = {"image/jpeg", "image/png"};
    scanner.platen = {true, 2550, 3508, {75, 150, 300, 600, 1200}};
    scanner.feeder = {true, 2550, 4200, {75, 150, 300, 600}};
    return scanner;
}

QByteArray settings(const QByteArray &inner)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<scan:ScanSettings "
           "xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
           "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\">" +
           inner + "</scan:ScanSettings>";
}

std::optional<ScanRequest> parse(const QByteArray &text)
{
    return ParseScanSettings(std::string_view(text.constData(), static_cast<size_t>(text.size())));
}

} // namespace

class TestShareLogic : public QObject {
    Q_OBJECT
private slots:
    void capabilitiesNameWhatTheScannerHas();
    void statusStatesAndJobs();
    void scanSettings_data();
    void scanSettings();
    void hostileDocumentsAreRefused_data();
    void hostileDocumentsAreRefused();
    void requestChecks_data();
    void requestChecks();
    void settingFile_data();
    void settingFile();
    void clientsAllowed_data();
    void clientsAllowed();
    void routes_data();
    void routes();
    void encodedBandsDecodeToTheLines_data();
    void encodedBandsDecodeToTheLines();
    void pdfCrossReferencesPointAtTheirObjects();
};

void TestShareLogic::capabilitiesNameWhatTheScannerHas()
{
    ScannerDescription scanner = k402();
    QString xml = QString::fromStdString(CapabilitiesXml(scanner));
    QVERIFY(xml.contains("<pwg:SerialNumber>RV&lt;&amp;&gt;1</pwg:SerialNumber>"));
    QVERIFY(xml.contains("<scan:PlatenInputCaps>") && xml.contains("<scan:AdfSimplexInputCaps>"));
    QVERIFY(xml.contains("<scan:MaxHeight>3508</scan:MaxHeight>") && xml.contains("<scan:MaxHeight>4200</scan:MaxHeight>"));
    QCOMPARE(xml.count("<scan:XResolution>1200</scan:XResolution>"), 1); // the platen only
    QVERIFY(xml.contains("<scan:ColorMode>RGB24</scan:ColorMode>"));
    QVERIFY(!xml.contains("ResolutionRange"));
    scanner.colour = false;
    scanner.feeder.present = false;
    xml = QString::fromStdString(CapabilitiesXml(scanner));
    QVERIFY(!xml.contains("RGB24") && xml.contains("Grayscale8"));
    QVERIFY(!xml.contains("<scan:Adf>"));
}

void TestShareLogic::statusStatesAndJobs()
{
    QString idle = QString::fromStdString(StatusXml(ScannerState::Idle, FeederState::Empty, {}));
    QVERIFY(idle.contains("<pwg:State>Idle</pwg:State>") && idle.contains("ScannerAdfEmpty"));
    QVERIFY(!idle.contains("<scan:Jobs>"));
    QString busy = QString::fromStdString(StatusXml(ScannerState::Processing, FeederState::None,
                                                    {{"/eSCL/ScanJobs/a", "a", 3, 2, true, false},
                                                     {"/eSCL/ScanJobs/b", "b", 9, 1, false, true}}));
    QVERIFY(busy.contains("<pwg:State>Processing</pwg:State>") && !busy.contains("AdfState"));
    QVERIFY(busy.contains("<pwg:ImagesCompleted>2</pwg:ImagesCompleted><pwg:ImagesToTransfer>1</pwg:ImagesToTransfer>"
                          "<pwg:JobState>Processing</pwg:JobState>"));
    QVERIFY(busy.contains("<pwg:JobState>Aborted</pwg:JobState>"));
}

void TestShareLogic::scanSettings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("source"); // Source
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QList<int>>("region");
    QTest::addRow("a full request")
        << settings("<pwg:ScanRegions><pwg:ScanRegion><pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches"
                    "</pwg:ContentRegionUnits><pwg:XOffset>30</pwg:XOffset><pwg:YOffset> 60 </pwg:YOffset>"
                    "<pwg:Width>900</pwg:Width><pwg:Height>600</pwg:Height></pwg:ScanRegion></pwg:ScanRegions>"
                    "<pwg:InputSource>Feeder</pwg:InputSource><scan:ColorMode>Grayscale8</scan:ColorMode>"
                    "<pwg:DocumentFormat>application/octet-stream</pwg:DocumentFormat>"
                    "<scan:DocumentFormatExt>image/png</scan:DocumentFormatExt>"
                    "<scan:XResolution>150</scan:XResolution><scan:YResolution>150</scan:YResolution>")
        << int(Source::Feeder) << int(ColourMode::Grey) << 150 << "image/png" << QList<int>{30, 60, 900, 600};
    QTest::addRow("defaults") << settings("") << int(Source::Platen) << int(ColourMode::Colour) << 300 << "image/jpeg"
                              << QList<int>{0, 0, 0, 0};
    QTest::addRow("format without the extension")
        << settings("<pwg:DocumentFormat>image/jpeg</pwg:DocumentFormat><scan:XResolution>600</scan:XResolution>")
        << int(Source::Platen) << int(ColourMode::Colour) << 600 << "image/jpeg" << QList<int>{0, 0, 0, 0};
}

void TestShareLogic::scanSettings()
{
    QFETCH(QByteArray, text);
    QFETCH(int, source);
    QFETCH(int, mode);
    QFETCH(int, resolution);
    QFETCH(QString, format);
    QFETCH(QList<int>, region);
    std::optional<ScanRequest> request = parse(text);
    QVERIFY(request);
    QCOMPARE(int(request->source), source);
    QCOMPARE(int(request->mode), mode);
    QCOMPARE(request->resolution, resolution);
    QCOMPARE(QString::fromStdString(request->format), format);
    QCOMPARE((QList<int>{request->xOffset, request->yOffset, request->width, request->height}), region);
}

void TestShareLogic::hostileDocumentsAreRefused_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addRow("entities defined in a DTD")
        << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                      "<ScanSettings><ColorMode>&b;</ColorMode></ScanSettings>");
    QTest::addRow("an external entity")
        << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"
                      "<ScanSettings><ColorMode>&x;</ColorMode></ScanSettings>");
    QTest::addRow("an external DTD")
        << QByteArray("<?xml version=\"1.0\"?><!DOCTYPE ScanSettings SYSTEM \"http://127.0.0.1:9/x.dtd\"><ScanSettings/>");
    QTest::addRow("not XML") << QByteArray("<ScanSettings><ColorMode>RGB24</ScanSettings>");
    QTest::addRow("another document") << QByteArray("<ScanJob><ColorMode>RGB24</ColorMode></ScanJob>");
    QTest::addRow("an unknown colour mode") << settings("<scan:ColorMode>CMYK64</scan:ColorMode>");
    QTest::addRow("an unknown source") << settings("<pwg:InputSource>Camera</pwg:InputSource>");
    QTest::addRow("a negative offset") << settings("<pwg:XOffset>-5</pwg:XOffset>");
    QTest::addRow("a huge width") << settings("<pwg:Width>99999999</pwg:Width>");
    QTest::addRow("other units") << settings("<pwg:ContentRegionUnits>escl:Millimeters</pwg:ContentRegionUnits>");
    QTest::addRow("two resolutions")
        << settings("<scan:XResolution>300</scan:XResolution><scan:YResolution>600</scan:YResolution>");
    QTest::addRow("too large") << settings(QByteArray("<pwg:Version>") + QByteArray(int(kMaxSettingsBytes), ' ') +
                                           "2.0</pwg:Version>");
    QTest::addRow("empty") << QByteArray();
}

void TestShareLogic::hostileDocumentsAreRefused()
{
    QFETCH(QByteArray, text);
    QVERIFY(!parse(text));
}

void TestShareLogic::requestChecks_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("colour");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QList<int>>("pixels"); // xStart, yStart, width, height when accepted
    QTest::addRow("the whole platen at 300 dpi") << settings("") << true << true << QList<int>{0, 0, 2550, 3508};
    QTest::addRow("a region at 150 dpi")
        << settings("<pwg:XOffset>300</pwg:XOffset><pwg:YOffset>601</pwg:YOffset><pwg:Width>900</pwg:Width>"
                    "<pwg:Height>600</pwg:Height><scan:XResolution>150</scan:XResolution>")
        << true << true << QList<int>{150, 301, 450, 300};
    QTest::addRow("a region past the edge is cut")
        << settings("<pwg:XOffset>2000</pwg:XOffset><pwg:Width>2000</pwg:Width>") << true << true
        << QList<int>{2000, 0, 550, 3508};
    QTest::addRow("a region outside") << settings("<pwg:XOffset>2550</pwg:XOffset>") << true << false << QList<int>{};
    QTest::addRow("too small") << settings("<pwg:Width>4</pwg:Width>") << true << false << QList<int>{};
    QTest::addRow("a resolution not offered") << settings("<scan:XResolution>250</scan:XResolution>") << true
                                              << false << QList<int>{};
    QTest::addRow("1200 dpi from the feeder")
        << settings("<pwg:InputSource>Feeder</pwg:InputSource><scan:XResolution>1200</scan:XResolution>") << true
        << false << QList<int>{};
    QTest::addRow("a format not offered")
        << settings("<pwg:DocumentFormat>application/pdf</pwg:DocumentFormat>") << true << false << QList<int>{};
    QTest::addRow("colour from a grey scanner") << settings("") << false << false << QList<int>{};
}

void TestShareLogic::requestChecks()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, colour);
    QFETCH(bool, accepted);
    QFETCH(QList<int>, pixels);
    ScannerDescription scanner = k402();
    scanner.colour = colour;
    std::optional<ScanRequest> request = parse(text);
    QVERIFY(request);
    QCOMPARE(CheckRequest(scanner, *request).empty(), accepted);
    if (accepted) {
        PixelRegion region = ToPixels(*request);
        QCOMPARE((QList<int>{int(region.xStart), int(region.yStart), int(region.width), int(region.height)}), pixels);
    }
}

void TestShareLogic::settingFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("lan");
    QTest::addColumn<int>("networks");
    QTest::addColumn<int>("problems");
    QTest::addRow("empty: loopback on 8090") << QByteArray() << 8090 << false << 0 << 0;
    QTest::addRow("sharing on")
        << QByteArray("# comment\nport = 9000\nshare = lan   # on\nallow = 192.168.1.0/24, 10.0.0.0/8\n") << 9000
        << true << 2 << 0;
    QTest::addRow("bad values keep the defaults")
        << QByteArray("port = 70000\nshare = everyone\nallow = 1.2.3.4/33\nformats = image/gif\nnoise\nwhat = 1\n")
        << 8090 << false << 0 << 6;
}

void TestShareLogic::settingFile()
{
    QFETCH(QByteArray, text);
    QFETCH(int, port);
    QFETCH(bool, lan);
    QFETCH(int, networks);
    QFETCH(int, problems);
    std::vector<std::string> found;
    ShareSettings parsed = ParseShareSettings(std::string_view(text.constData(), size_t(text.size())), found);
    QCOMPARE(parsed.port, port);
    QCOMPARE(parsed.lan, lan);
    QCOMPARE(int(parsed.allowed.size()), networks);
    QCOMPARE(int(found.size()), problems);
}

void TestShareLogic::clientsAllowed_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("allowed");
    QTest::addRow("loopback by default") << QByteArray() << "127.0.0.1" << true;
    QTest::addRow("the LAN not by default") << QByteArray() << "192.168.1.20" << false;
    QTest::addRow("the LAN when shared") << QByteArray("share = lan") << "192.168.1.20" << true;
    QTest::addRow("inside an allowed network") << QByteArray("share = lan\nallow = 192.168.1.0/24") << "192.168.1.20"
                                               << true;
    QTest::addRow("outside it") << QByteArray("share = lan\nallow = 192.168.1.0/24") << "192.168.2.20" << false;
    QTest::addRow("allowed but not shared") << QByteArray("allow = 192.168.1.0/24") << "192.168.1.20" << false;
}

void TestShareLogic::clientsAllowed()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, address);
    QFETCH(bool, allowed);
    std::vector<std::string> problems;
    ShareSettings parsed = ParseShareSettings(std::string_view(text.constData(), size_t(text.size())), problems);
    std::optional<Network> host = ParseNetwork(address.toStdString());
    QVERIFY(host);
    QCOMPARE(ClientAllowed(parsed, host->address), allowed);
}

void TestShareLogic::routes_data()
{
    const QString job = "0123456789abcdef0123456789abcdef";
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("endpoint");
    QTest::addColumn<QString>("scanner");
    QTest::addRow("the first scanner") << "/eSCL/ScannerCapabilities" << int(Endpoint::Capabilities) << "";
    QTest::addRow("a scanner of its own") << "/net-127.0.0.2/eSCL/ScannerStatus" << int(Endpoint::Status)
                                          << "net-127.0.0.2";
    QTest::addRow("jobs, trailing slash") << "/eSCL/ScanJobs/" << int(Endpoint::ScanJobs) << "";
    QTest::addRow("a page") << "/usb-X/eSCL/ScanJobs/" + job + "/NextDocument" << int(Endpoint::NextDocument)
                            << "usb-X";
    QTest::addRow("image info") << "/eSCL/ScanJobs/" + job + "/ScanImageInfo" << int(Endpoint::ScanImageInfo) << "";
    QTest::addRow("a job") << "/eSCL/ScanJobs/" + job << int(Endpoint::Job) << "";
    QTest::addRow("a guessed job id") << "/eSCL/ScanJobs/1/NextDocument" << int(Endpoint::None) << "";
    QTest::addRow("a climb") << "/../eSCL/ScannerStatus" << int(Endpoint::None) << "";
    QTest::addRow("not eSCL") << "/etc/passwd" << int(Endpoint::None) << "";
    QTest::addRow("too deep") << "/a/b/eSCL/ScannerStatus" << int(Endpoint::None) << "";
}

void TestShareLogic::routes()
{
    QFETCH(QString, path);
    QFETCH(int, endpoint);
    QFETCH(QString, scanner);
    Route route = ParseRoute(path.toStdString());
    QCOMPARE(int(route.endpoint), endpoint);
    QCOMPARE(QString::fromStdString(route.scanner), scanner);
}

void TestShareLogic::encodedBandsDecodeToTheLines_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("components");
    QTest::addRow("PNG colour") << "image/png" << 3;
    QTest::addRow("PNG grey") << "image/png" << 1;
    QTest::addRow("JPEG colour") << "image/jpeg" << 3;
    QTest::addRow("JPEG grey") << "image/jpeg" << 1;
}

void TestShareLogic::encodedBandsDecodeToTheLines()
{
    QFETCH(QString, format);
    QFETCH(int, components);
    const int width = 173, height = 91;
    std::vector<uint8_t> lines(size_t(width * height * components));
    // Smooth ramps with an edge, as a scanned page has them.
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c)
                lines[size_t((y * width + x) * components + c)] = uint8_t(x < 120 ? x + y + 40 * c : 250 - y);
    auto encoder = MakePageEncoder(format.toStdString(), width, height, components, 300);
    QVERIFY(encoder);
    QByteArray encoded;
    size_t largest = 0;
    for (int y = 0; y < height; y += 10) {
        QVERIFY(encoder->write(lines.data() + size_t(y * width * components), std::min(10, height - y)));
        largest = std::max(largest, encoder->output().size());
        encoded.append(reinterpret_cast<const char *>(encoder->output().data()), int(encoder->output().size()));
        encoder->output().clear();
    }
    QVERIFY(encoder->finish());
    encoded.append(reinterpret_cast<const char *>(encoder->output().data()), int(encoder->output().size()));
    QImage image = QImage::fromData(encoded);
    QCOMPARE(image.size(), QSize(width, height));
    image = image.convertToFormat(components == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    double squares = 0;
    for (int y = 0; y < height; ++y) {
        const uchar *row = image.constScanLine(y);
        for (int x = 0; x < width * components; ++x) {
            double difference = double(row[x]) - lines[size_t(y * width * components + x)];
            squares += difference * difference;
        }
    }
    double mean = squares / double(lines.size());
    if (format == "image/png")
        QCOMPARE(mean, 0.0);
    else
        QVERIFY2(mean == 0 || 10 * std::log10(255.0 * 255.0 / mean) > 30, qPrintable(QString::number(mean)));
}

void TestShareLogic::pdfCrossReferencesPointAtTheirObjects()
{
    const int width = 300, height = 200;
    std::vector<uint8_t> lines(size_t(width * height), 128);
    auto encoder = MakePageEncoder("application/pdf", width, height, 1, 150);
    QVERIFY(encoder);
    QByteArray document;
    for (int y = 0; y < height; y += 50) {
        QVERIFY(encoder->write(lines.data() + size_t(y * width), 50));
        document.append(reinterpret_cast<const char *>(encoder->output().data()), int(encoder->output().size()));
        encoder->output().clear();
    }
    QVERIFY(encoder->finish());
    document.append(reinterpret_cast<const char *>(encoder->output().data()), int(encoder->output().size()));
    QVERIFY(document.startsWith("%PDF-1.4") && document.endsWith("%%EOF\n"));
    int table = document.lastIndexOf("\nxref\n") + 1;
    int start = document.lastIndexOf("startxref\n");
    QCOMPARE(document.mid(start + 10, document.indexOf('\n', start + 10) - start - 10).toInt(), table);
    QList<QByteArray> rows = document.mid(table).split('\n');
    for (int number = 1; number <= 6; ++number) {
        int offset = rows[2 + number].left(10).toInt();
        QVERIFY2(document.mid(offset).startsWith(QByteArray::number(number) + " 0 obj"), qPrintable(QString::number(number)));
    }
    // The image's length object names the bytes between stream and endstream.
    int image = document.indexOf("stream\n", document.indexOf("5 0 obj")) + 7;
    int end = document.indexOf("\nendstream", image);
    int lengthAt = rows[8].left(10).toInt();
    QCOMPARE(document.mid(lengthAt).split('\n')[1].toInt(), end - image);
    QVERIFY(document.mid(image, 2) == QByteArray("\xff\xd8"));
    QVERIFY(document.contains("/MediaBox [0 0 144.00 96.00]"));
}

QTEST_MAIN(TestShareLogic)
#include "test_share_logic.moc"

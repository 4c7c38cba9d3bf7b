// Decoding of status replies: bounds, mappings and round trips with the encoder.
#include "StatusReplyEncoder.h"
#include "UtilPrinterStatus.h"

#include <QtTest>

Q_DECLARE_METATYPE(stStatusSupply)

namespace {

QByteArray Bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int value : values)
        out.append(static_cast<char>(value));
    return out;
}

// A reply written out byte by byte, independent of the encoder.
QByteArray HandWrittenReply()
{
    QByteArray reply = Bytes({0x1B, 0x25, 0x2D, 0x31, 0x32, 0x33, 0x34}); // header
    reply += Bytes({0x00, 0x00, 0x00, 0x00, 0x00});                      // reserved
    reply += Bytes({0x00, 0x04}) + "Ruvo";
    reply += Bytes({0x00, 0x04}) + "K400";
    reply += Bytes({0x00, 0x03}) + "S01";
    reply += Bytes({0x00, 0x00});          // reserved
    reply += Bytes({0x10});                // printing
    reply += Bytes({0x03}) + "1.2";        // firmware
    reply += Bytes({0x02}) + "xy";         // fifth text
    reply += Bytes({0x02, 0x11, 0x06, 0x11, 0xB8}); // errors: cover open, paper jam inside
    reply += Bytes({0x01, 0x11, 0x0D});             // warning: toner low
    reply += Bytes({0x00, 0x00, 0x00, 0x00, 0x00}); // reserved
    reply += Bytes({0x04});
    reply += Bytes({0x10, 0x00, 0x02, 0x1F, 0x40});       // remaining toner 8000
    reply += Bytes({0x00, 0x00, 0x04}) + "CART";          // supply serial number
    reply += Bytes({0x10, 0x03, 0x04, 0x00, 0x00, 0x01, 0x00}); // pages 256
    reply += Bytes({0x77, 0x77, 0x01, 0x09});             // unknown tag, skipped
    return reply;
}

// The shortest reply: every length and count zero, status byte at offset 21.
QByteArray MinimalReply(quint8 statusByte)
{
    QByteArray reply(31, '\0');
    reply[20] = static_cast<char>(statusByte);
    return reply;
}

stPrinterState Decode(const QByteArray &reply, bool *ok = nullptr)
{
    stPrinterState state;
    const bool decoded = BuildPrinterState(reply, state);
    if (ok)
        *ok = decoded;
    return state;
}

} // namespace

class TestStatusDecoder : public QObject
{
    Q_OBJECT

private slots:
    void decodesAHandWrittenReply();
    void minimalReplyDecodes();
    void rejectsReplyCutShort_data();
    void rejectsReplyCutShort();
    void acceptsExtraBytesAfterTheLastSupply();
    void rejectedReplyLeavesStateUntouched();
    void oversizeFieldsAreRejected_data();
    void oversizeFieldsAreRejected();
    void textEndsAtZeroByte();
    void statusByteMapping_data();
    void statusByteMapping();
    void errorCodeMapping_data();
    void errorCodeMapping();
    void byteToDWORDWidths_data();
    void byteToDWORDWidths();
    void supplyValues_data();
    void supplyValues();
    void sameErrorTwiceStaysTwice();
    void encoderRoundTrips_data();
    void encoderRoundTrips();
    void encoderMatchesHandWrittenBytes();
};

void TestStatusDecoder::decodesAHandWrittenReply()
{
    bool ok = false;
    const stPrinterState state = Decode(HandWrittenReply(), &ok);
    QVERIFY(ok);
    QCOMPARE(state.strVenderName, QString("Ruvo"));
    QCOMPARE(state.strProductName, QString("K400"));
    QCOMPARE(state.strPrinterSerialNumber, QString("S01"));
    QCOMPARE(state.strFWVersion, QString("1.2"));
    QCOMPARE(state.enCurrentStatus, int(PrinterStatusPrinting));
    QCOMPARE(state.iNumberOfError, 2);
    QCOMPARE(state.listError, QList<enErrorStatus>({ErrorFrontCoverOpen, ErrorPaperJamInside}));
    QCOMPARE(state.iNumberOfWarning, 1);
    QCOMPARE(state.listWarning, QList<enErrorStatus>({ErrorTonerLow}));
    QCOMPARE(state.strSupplySerialNumber, QString("CART"));
    QCOMPARE(state.dwRemainingToner, quint64(8000));
    QCOMPARE(state.dwNumberOfPages, quint64(256));
    QCOMPARE(state.dwNumberOfPrint, quint64(0)); // tag 0x1004 never came
    QCOMPARE(state.enSpplyType, 0);
    QCOMPARE(state.iReadFailCount, 0);
}

void TestStatusDecoder::minimalReplyDecodes()
{
    bool ok = false;
    const stPrinterState state = Decode(MinimalReply(0x02), &ok);
    QVERIFY(ok);
    QCOMPARE(state.enCurrentStatus, int(PrinterStatusBusy));
    QVERIFY(state.strVenderName.isEmpty() && state.strFWVersion.isEmpty());
    QVERIFY(state.listError.isEmpty() && state.listWarning.isEmpty());
    QCOMPARE(state.dwRemainingToner, quint64(0));

    UtilPrinterStatus decoder;
    QVERIFY(!decoder.parseRecvBuf(reinterpret_cast<const unsigned char *>(MinimalReply(0).constData()), 30));
}

void TestStatusDecoder::rejectsReplyCutShort_data()
{
    QTest::addColumn<int>("length");
    const int full = HandWrittenReply().size();
    QTest::addRow("one byte short of the last supply value") << full - 1;
    QTest::addRow("inside the supply list") << full - 9;
    QTest::addRow("inside the warning codes") << 46;
    QTest::addRow("inside the reserved words") << 49;
    QTest::addRow("inside the vendor name") << 16;
    QTest::addRow("inside the header") << 5;
    QTest::addRow("empty") << 0;
}

void TestStatusDecoder::rejectsReplyCutShort()
{
    QFETCH(int, length);
    bool ok = true;
    Decode(HandWrittenReply().left(length), &ok);
    QVERIFY(!ok);
}

void TestStatusDecoder::acceptsExtraBytesAfterTheLastSupply()
{
    bool ok = false;
    const stPrinterState state = Decode(HandWrittenReply() + QByteArray(40, '\xEE'), &ok);
    QVERIFY(ok);
    QCOMPARE(state.dwRemainingToner, quint64(8000));
}

void TestStatusDecoder::rejectedReplyLeavesStateUntouched()
{
    stPrinterState state;
    state.strVenderName = "before";
    state.iReadFailCount = 4;
    const stPrinterState before = state;
    QVERIFY(!BuildPrinterState(HandWrittenReply().left(40), state));
    QCOMPARE(state, before);
}

void TestStatusDecoder::oversizeFieldsAreRejected_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");
    stStatusReply reply;
    reply.vendorName = QByteArray(255, 'v');
    QTest::addRow("vendor name of 255 bytes fits") << EncodeStatusReply(reply) << true;
    reply.vendorName = QByteArray(256, 'v');
    QTest::addRow("vendor name of 256 bytes") << EncodeStatusReply(reply) << false;
    reply = {};
    reply.serialNumber = QByteArray(4000, 's');
    QTest::addRow("serial number of 4000 bytes") << EncodeStatusReply(reply) << false;
    reply = {};
    reply.supplies = {{0x0000, QByteArray(64, 'c')}};
    QTest::addRow("supply value of 64 bytes fits") << EncodeStatusReply(reply) << true;
    reply.supplies = {{0x0000, QByteArray(65, 'c')}};
    QTest::addRow("supply value of 65 bytes") << EncodeStatusReply(reply) << false;
    reply.supplies = {{0x7777, QByteArray(200, 'c')}};
    QTest::addRow("long value of an unknown tag") << EncodeStatusReply(reply) << false;
}

void TestStatusDecoder::oversizeFieldsAreRejected()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);
    bool ok = !accepted;
    Decode(reply, &ok);
    QCOMPARE(ok, accepted);
}

void TestStatusDecoder::textEndsAtZeroByte()
{
    stStatusReply reply;
    reply.productName = QByteArray("K40", 3) + '\0' + "hidden";
    reply.firmwareVersion = QByteArray("\0abc", 4);
    reply.supplies = {{0x0000, QByteArray("AB\0CD", 5)}};
    const stPrinterState state = Decode(EncodeStatusReply(reply));
    QCOMPARE(state.strProductName, QString("K40"));
    QCOMPARE(state.strFWVersion, QString());
    QCOMPARE(state.strSupplySerialNumber, QString("AB"));
}

void TestStatusDecoder::statusByteMapping_data()
{
    QTest::addColumn<int>("statusByte");
    QTest::addColumn<int>("status");
    QTest::addRow("0x00 ready") << 0x00 << 3;
    QTest::addRow("0x01 initialize") << 0x01 << 4;
    QTest::addRow("0x02 busy") << 0x02 << 5;
    QTest::addRow("0x03 canceling") << 0x03 << 6;
    QTest::addRow("0x04 unknown") << 0x04 << 0;
    QTest::addRow("0x0F unknown") << 0x0F << 0;
    QTest::addRow("0x10 printing") << 0x10 << 8;
    QTest::addRow("0x11 scanning") << 0x11 << 9;
    QTest::addRow("0x12 copying") << 0x12 << 10;
    QTest::addRow("0x13 reporting") << 0x13 << 11;
    QTest::addRow("0x14 unknown") << 0x14 << 0;
    QTest::addRow("0x20 unknown") << 0x20 << 0;
    QTest::addRow("0xFF unknown") << 0xFF << 0;
}

void TestStatusDecoder::statusByteMapping()
{
    QFETCH(int, statusByte);
    QFETCH(int, status);
    QCOMPARE(GetPrinterStatusEnum(static_cast<unsigned long>(statusByte)), status);
    QCOMPARE(Decode(MinimalReply(static_cast<quint8>(statusByte))).enCurrentStatus, status);
}

void TestStatusDecoder::errorCodeMapping_data()
{
    QTest::addColumn<qulonglong>("code");
    QTest::addColumn<int>("value");
    // Range ends, their neighbours in the gaps, and codes that share a text.
    const QList<QPair<qulonglong, int>> rows = {
        {0x0000, 0},  {0x00FF, 0},  {0x0100, 4},  {0x0101, 4},  {0x0102, 0},  {0x0110, 38}, {0x0201, 0},
        {0x0202, 4},  {0x1106, 6},  {0x1107, 0},  {0x1108, 4},  {0x1109, 10}, {0x110C, 10}, {0x110D, 11},
        {0x110E, 12}, {0x110F, 13}, {0x1110, 17}, {0x1111, 19}, {0x1112, 21}, {0x1114, 21}, {0x1115, 23},
        {0x1116, 0},  {0x1121, 18}, {0x1122, 20}, {0x1123, 12}, {0x1124, 20}, {0x1125, 19}, {0x1126, 22},
        {0x1127, 23}, {0x1128, 22}, {0x1129, 22}, {0x112A, 0},  {0x112E, 0},  {0x112F, 12}, {0x1130, 24},
        {0x1131, 0},  {0x1132, 29}, {0x1133, 33}, {0x1140, 25}, {0x11A0, 30}, {0x11A1, 31}, {0x11A2, 32},
        {0x11B0, 34}, {0x11B8, 34}, {0x11B9, 0},  {0x11BF, 0},  {0x11C0, 35}, {0x11C6, 35}, {0x11C7, 0},
        {0x11D0, 36}, {0x11D6, 36}, {0x11E0, 37}, {0x11E3, 37}, {0x11E4, 0},  {0x11EA, 14}, {0x11EE, 12},
        {0x11EF, 12}, {0x1200, 1},  {0x1201, 4},  {0x1202, 4},  {0x1203, 2},  {0x1207, 4},  {0x1208, 0},
        {0x1209, 4},  {0x120B, 4},  {0x120C, 0},  {0x1210, 0},  {0x1211, 4},  {0x1212, 5},  {0x1213, 4},
        {0x121F, 4},  {0x1220, 0},  {0x2100, 26}, {0x2101, 0},  {0x2102, 27}, {0x2103, 28}, {0x2200, 3},
        {0x4100, 42}, {0x4200, 42}, {0x4201, 42}, {0x4210, 42}, {0x4211, 39}, {0x4212, 42}, {0x4213, 40},
        {0x4214, 41}, {0x4F00, 42}, {0xE100, 43}, {0xE101, 0},  {0xFFFF, 0},  {0x1E100, 0}, {0x11106, 0},
    };
    for (const auto &[code, value] : rows)
        QTest::addRow("0x%llX", code) << code << value;
}

void TestStatusDecoder::errorCodeMapping()
{
    QFETCH(qulonglong, code);
    QFETCH(int, value);
    QCOMPARE(int(GetErrorStatusEnum(static_cast<unsigned long>(code))), value);
}

void TestStatusDecoder::byteToDWORDWidths_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qulonglong>("value");
    QTest::addRow("1 byte is that byte") << Bytes({0xAB}) << 0xABull;
    QTest::addRow("2 bytes big-endian") << Bytes({0x01, 0x02}) << 0x0102ull;
    QTest::addRow("3 bytes big-endian") << Bytes({0x01, 0x02, 0x03}) << 0x010203ull;
    QTest::addRow("4 bytes big-endian") << Bytes({0xFF, 0x00, 0x00, 0x01}) << 0xFF000001ull;
    QTest::addRow("5 bytes give the first") << Bytes({0x07, 0x02, 0x03, 0x04, 0x05}) << 0x07ull;
}

void TestStatusDecoder::byteToDWORDWidths()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qulonglong, value);
    QCOMPARE(qulonglong(UtilPrinterStatus::byteToDWORD(reinterpret_cast<const unsigned char *>(bytes.constData()),
                                                       static_cast<unsigned long>(bytes.size()))),
             value);
}

void TestStatusDecoder::supplyValues_data()
{
    QTest::addColumn<QList<stStatusSupply>>("supplies");
    QTest::addColumn<qulonglong>("remainingToner");
    QTest::addColumn<qulonglong>("pages");
    QTest::addRow("repeated tag: the later wins")
        << QList<stStatusSupply>{{0x1000, Bytes({0x27, 0x10})}, {0x1000, Bytes({0x03, 0xE8})}} << 1000ull << 0ull;
    QTest::addRow("shorter repeat replaces the longer")
        << QList<stStatusSupply>{{0x1003, Bytes({1, 2, 3, 4})}, {0x1003, Bytes({9})}} << 0ull << 9ull;
    QTest::addRow("zero-length value after another reads 0")
        << QList<stStatusSupply>{{0x1003, Bytes({0, 0, 0, 5})}, {0x1000, QByteArray()}} << 0ull << 5ull;
    QTest::addRow("3-byte counter") << QList<stStatusSupply>{{0x1003, Bytes({1, 2, 3})}} << 0ull << 0x010203ull;
    QTest::addRow("5-byte counter gives its first byte")
        << QList<stStatusSupply>{{0x1003, Bytes({6, 0, 0, 0, 1})}} << 0ull << 6ull;
    QTest::addRow("toner wider than its field still decodes")
        << QList<stStatusSupply>{{0x1000, Bytes({0, 0, 0x13, 0x88})}} << 5000ull << 0ull;
}

void TestStatusDecoder::supplyValues()
{
    QFETCH(QList<stStatusSupply>, supplies);
    QFETCH(qulonglong, remainingToner);
    QFETCH(qulonglong, pages);
    stStatusReply reply;
    reply.supplies = supplies;
    bool ok = false;
    const stPrinterState state = Decode(EncodeStatusReply(reply), &ok);
    QVERIFY(ok);
    QCOMPARE(qulonglong(state.dwRemainingToner), remainingToner);
    QCOMPARE(qulonglong(state.dwNumberOfPages), pages);
}

void TestStatusDecoder::sameErrorTwiceStaysTwice()
{
    stStatusReply reply;
    reply.errorCodes = {0x11B0, 0x11B5, 0x1106};
    reply.warningCodes = {0x110D, 0x11EA};
    const stPrinterState state = Decode(EncodeStatusReply(reply));
    QCOMPARE(state.listError, QList<enErrorStatus>({ErrorPaperJamInside, ErrorPaperJamInside, ErrorFrontCoverOpen}));
    QCOMPARE(state.listWarning, QList<enErrorStatus>({ErrorTonerLow, ErrorTonerRunningOut}));
}

void TestStatusDecoder::encoderRoundTrips_data()
{
    QTest::addColumn<int>("scenario");
    for (int i = 0; i < 4; ++i)
        QTest::addRow("scenario %d", i) << i;
}

void TestStatusDecoder::encoderRoundTrips()
{
    QFETCH(int, scenario);
    stStatusReply reply;
    reply.vendorName = "Ruvo";
    reply.productName = QByteArray("Ruvo M220ADN");
    reply.serialNumber = QByteArray::number(1000 + scenario);
    reply.firmwareVersion = "V" + QByteArray::number(scenario);
    reply.statusByte = quint8(scenario == 3 ? 0x03 : 0x10 + scenario);
    for (int i = 0; i < scenario * 3; ++i)
        reply.errorCodes << quint16(0x11B0 + i);
    reply.warningCodes = {quint16(0x110D)};
    reply.supplies = {NumberSupply(0x1000, 10000 - 2500 * scenario, 2), NumberSupply(0x1001, 7, 2),
                      NumberSupply(0x1002, 8, 2), NumberSupply(0x1003, 100000u + scenario, 4),
                      NumberSupply(0x1004, 9, 4), NumberSupply(0x1100, 10, 2),
                      NumberSupply(0x1101, 0xFFFFFFFFu, 4), NumberSupply(0x1102, 12, 4),
                      {0x0000, "SUPPLY-" + QByteArray::number(scenario)}, NumberSupply(0x0001, 3, 4)};

    bool ok = false;
    const stPrinterState state = Decode(EncodeStatusReply(reply), &ok);
    QVERIFY(ok);
    QCOMPARE(state.strVenderName, QString("Ruvo"));
    QCOMPARE(state.strProductName, QString("Ruvo M220ADN"));
    QCOMPARE(state.strPrinterSerialNumber, QString::number(1000 + scenario));
    QCOMPARE(state.strFWVersion, "V" + QString::number(scenario));
    QCOMPARE(state.enCurrentStatus, GetPrinterStatusEnum(reply.statusByte));
    QCOMPARE(state.iNumberOfError, scenario * 3);
    QCOMPARE(state.listError.size(), scenario * 3);
    QCOMPARE(state.listWarning, QList<enErrorStatus>({ErrorTonerLow}));
    QCOMPARE(state.dwRemainingToner, quint64(10000 - 2500 * scenario));
    QCOMPARE(state.dwWasteToner, quint64(7));
    QCOMPARE(state.dwOPCRotation, quint64(8));
    QCOMPARE(state.dwNumberOfPages, quint64(100000 + scenario));
    QCOMPARE(state.dwNumberOfPrint, quint64(9));
    QCOMPARE(state.dwPrintDotsCount, quint64(10));
    QCOMPARE(state.dwPrinterNumOfPages, quint64(0xFFFFFFFFu));
    QCOMPARE(state.dwPrinterNumOfPrint, quint64(12));
    QCOMPARE(state.strSupplySerialNumber, "SUPPLY-" + QString::number(scenario));
    QCOMPARE(state.enSpplyType, 0);
}

void TestStatusDecoder::encoderMatchesHandWrittenBytes()
{
    stStatusReply reply;
    reply.header = Bytes({0x1B, 0x25, 0x2D, 0x31, 0x32, 0x33, 0x34});
    reply.vendorName = "Ruvo";
    reply.productName = "K400";
    reply.serialNumber = "S01";
    reply.statusByte = 0x10;
    reply.firmwareVersion = "1.2";
    reply.fifthText = "xy";
    reply.errorCodes = {0x1106, 0x11B8};
    reply.warningCodes = {0x110D};
    reply.supplies = {NumberSupply(0x1000, 8000, 2), {0x0000, "CART"}, NumberSupply(0x1003, 256, 4),
                      {0x7777, Bytes({0x09})}};
    QCOMPARE(EncodeStatusReply(reply).toHex(), HandWrittenReply().toHex());
}

QTEST_GUILESS_MAIN(TestStatusDecoder)
#include "test_status_decoder.moc"

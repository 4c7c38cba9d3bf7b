// The SANE rules a conforming front end applies, driven through the entry
// points against the scanner of this run (RUVO_FRONTEND_SCANNERS): every
// option set to each value its constraint offers, to its range ends and past
// them, with the info bits checked; the io mode and the select descriptor
// refused outside a scan and served during one; a non-blocking read loop on
// the select descriptor against a blocking read of the same page.

#include "sane_test_rig.h"

#include <poll.h>

using namespace sane_rig;

namespace {

const char kAddress[] = "127.0.0.2";

SANE_Int optionNamed(SANE_Handle handle, const QString &name)
{
    for (SANE_Int option = 1;; ++option) {
        const SANE_Option_Descriptor *descriptor = sane_ruvo_get_option_descriptor(handle, option);
        if (!descriptor)
            return -1;
        if (descriptor->name && name == descriptor->name)
            return option;
    }
}

SANE_Word numberValue(SANE_Handle handle, SANE_Int option)
{
    SANE_Word value = -12345;
    if (sane_ruvo_control_option(handle, option, SANE_ACTION_GET_VALUE, &value, nullptr) != SANE_STATUS_GOOD)
        return -12345;
    return value;
}

struct SetAnswer {
    SANE_Status status = SANE_STATUS_INVAL;
    SANE_Int info = -1;
    SANE_Word written = 0; // what the backend left in the value it was given
};

SetAnswer setNumberOption(SANE_Handle handle, SANE_Int option, SANE_Word value)
{
    SetAnswer answer;
    answer.written = value;
    answer.status = sane_ruvo_control_option(handle, option, SANE_ACTION_SET_VALUE, &answer.written, &answer.info);
    return answer;
}

// Sets `value` and checks what a front end is told: INEXACT and the value
// changed to `taken` exactly when the backend could not take it; parameters
// to reload exactly when the stored value changed.
void expectNumber(SANE_Handle handle, SANE_Int option, SANE_Word value, SANE_Word taken)
{
    SANE_Word before = numberValue(handle, option);
    SetAnswer answer = setNumberOption(handle, option, value);
    QString where = QString("value %1, taken %2").arg(value).arg(taken);
    QVERIFY2(answer.status == SANE_STATUS_GOOD, qPrintable(where));
    QCOMPARE(numberValue(handle, option), taken);
    QCOMPARE(answer.written, taken);
    QVERIFY2(bool(answer.info & SANE_INFO_INEXACT) == (value != taken), qPrintable(where));
    QVERIFY2(bool(answer.info & SANE_INFO_RELOAD_PARAMS) == (before != taken), qPrintable(where));
    QVERIFY2(!(answer.info & SANE_INFO_RELOAD_OPTIONS), qPrintable(where));
    // The value the backend chose, set again, is taken as it is.
    SetAnswer again = setNumberOption(handle, option, taken);
    QCOMPARE(again.status, SANE_STATUS_GOOD);
    QCOMPARE(again.info, 0);
    QCOMPARE(again.written, taken);
}

void walkRange(SANE_Handle handle, SANE_Int option, const SANE_Range &range, SANE_Value_Type type)
{
    // Past an end by one unit of the option (a millimetre, a dpi).
    SANE_Word step = type == SANE_TYPE_FIXED ? SANE_FIX(1.0) : 1;
    QVERIFY(range.min < range.max);
    SANE_Word middle = range.min + (range.max - range.min) / 2;
    if (range.quant > 0)
        middle = range.min + (middle - range.min) / range.quant * range.quant;
    for (SANE_Word inside : {range.max, range.min, middle})
        expectNumber(handle, option, inside, inside);
    expectNumber(handle, option, range.min - step, range.min);
    expectNumber(handle, option, range.max + step, range.max);
    expectNumber(handle, option, range.max + 1000 * step, range.max);
}

void walkWordList(SANE_Handle handle, SANE_Int option, const SANE_Word *list)
{
    QVERIFY(list[0] >= 2);
    std::vector<SANE_Word> values(list + 1, list + 1 + list[0]);
    for (SANE_Word value : values)
        expectNumber(handle, option, value, value);
    // Between two neighbours, nearer the lower one: snapped to it.
    for (size_t i = 0; i + 1 < values.size(); ++i)
        if (values[i + 1] - values[i] > 2)
            expectNumber(handle, option, values[i] + 1, values[i]);
    expectNumber(handle, option, values.front() - 1, values.front());
    expectNumber(handle, option, values.back() + 1, values.back());
}

void walkStringList(SANE_Handle handle, SANE_Int option, const SANE_Option_Descriptor &descriptor, bool reloadsOptions)
{
    std::vector<char> text(static_cast<size_t>(descriptor.size), 0);
    for (const SANE_String_Const *entry = descriptor.constraint.string_list; *entry; ++entry) {
        QVERIFY(sane_ruvo_control_option(handle, option, SANE_ACTION_GET_VALUE, text.data(), nullptr) ==
                SANE_STATUS_GOOD);
        bool changes = std::strcmp(text.data(), *entry) != 0;
        for (int round = 0; round < 2; ++round) {
            std::fill(text.begin(), text.end(), 0);
            std::strncpy(text.data(), *entry, text.size() - 1);
            SANE_Int info = -1;
            QCOMPARE(sane_ruvo_control_option(handle, option, SANE_ACTION_SET_VALUE, text.data(), &info),
                     SANE_STATUS_GOOD);
            SANE_Int expected = changes && round == 0
                                    ? SANE_INFO_RELOAD_PARAMS | (reloadsOptions ? SANE_INFO_RELOAD_OPTIONS : 0)
                                    : 0;
            QVERIFY2(info == expected, qPrintable(QString("%1: info %2").arg(*entry).arg(info)));
            QVERIFY(sane_ruvo_control_option(handle, option, SANE_ACTION_GET_VALUE, text.data(), nullptr) ==
                    SANE_STATUS_GOOD);
            QCOMPARE(QString(text.data()), QString(*entry));
        }
    }
    // A value the list does not hold is refused and changes nothing.
    std::vector<char> before = text;
    std::fill(text.begin(), text.end(), 0);
    std::strncpy(text.data(), "Halftone", text.size() - 1);
    QCOMPARE(sane_ruvo_control_option(handle, option, SANE_ACTION_SET_VALUE, text.data(), nullptr),
             SANE_STATUS_INVAL);
    QVERIFY(sane_ruvo_control_option(handle, option, SANE_ACTION_GET_VALUE, text.data(), nullptr) == SANE_STATUS_GOOD);
    QCOMPARE(QString(text.data()), QString(before.data()));
}

// Scans the page as set up, in blocking or in non-blocking mode (polling the
// select descriptor), and returns its bytes. `empty` counts the reads that
// found nothing ready.
QByteArray scanPage(SANE_Handle handle, bool nonBlocking, int &empty)
{
    QByteArray page;
    empty = 0;
    if (sane_ruvo_start(handle) != SANE_STATUS_GOOD)
        return "start failed";
    SANE_Int ready = -1;
    if (nonBlocking && (sane_ruvo_set_io_mode(handle, SANE_TRUE) != SANE_STATUS_GOOD ||
                        sane_ruvo_get_select_fd(handle, &ready) != SANE_STATUS_GOOD || ready < 0))
        return "no non-blocking mode";
    std::vector<SANE_Byte> buffer(7001);
    SANE_Status status = SANE_STATUS_GOOD;
    for (int round = 0; round < 1000000 && status == SANE_STATUS_GOOD; ++round) {
        pollfd waiting{ready, POLLIN, 0};
        // Only a guard against a descriptor that never becomes readable.
        if (nonBlocking && poll(&waiting, 1, 60000) != 1)
            return "the select descriptor stayed quiet";
        SANE_Int length = -1;
        status = sane_ruvo_read(handle, buffer.data(), SANE_Int(buffer.size()), &length);
        if (status == SANE_STATUS_GOOD && length == 0)
            ++empty;
        page.append(reinterpret_cast<const char *>(buffer.data()), status == SANE_STATUS_GOOD ? length : 0);
    }
    sane_ruvo_cancel(handle);
    return status == SANE_STATUS_EOF ? page : QByteArray("read ended with ") + QByteArray::number(int(status));
}

} // namespace

class TestSaneRules : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void optionValuesAndInfoBits_data();
    void optionValuesAndInfoBits();
    void ioModeAndSelectDescriptorOnlyDuringAScan();
    void nonBlockingReadGivesTheBlockingPage_data();
    void nonBlockingReadGivesTheBlockingPage();

private:
    std::unique_ptr<Rig> m_rig;
    SANE_Handle m_handle = nullptr;
};

void TestSaneRules::initTestCase()
{
    QString failure = startFrontEnd("/tmp/rules-conf", QByteArray(kAddress) + "\n");
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    // A slow network scanner, so that a non-blocking read finds nothing ready
    // now and then.
    m_rig = std::make_unique<Rig>(QStringList{"--pages", "2", "--chunk-bytes", "3000"},
                                  QList<QPair<QString, QStringList>>{
                                      {kAddress, {"--pages", "2", "--block-sizes", "3000", "--block-delay-ms", "15"}}},
                                  usbRows());
    QVERIFY(m_rig->ready());
    m_handle = openRunScanner(kAddress);
    QVERIFY(m_handle);
}

void TestSaneRules::cleanupTestCase()
{
    if (m_handle)
        sane_ruvo_close(m_handle);
    sane_ruvo_exit();
    m_rig.reset();
    endDescendants();
}

void TestSaneRules::optionValuesAndInfoBits_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("option");
    for (const char *source : {"Flatbed", "ADF"})
        for (const char *option : {SANE_NAME_SCAN_SOURCE, SANE_NAME_SCAN_MODE, "compression",
                                   SANE_NAME_SCAN_RESOLUTION, SANE_NAME_SCAN_TL_X, SANE_NAME_SCAN_TL_Y,
                                   SANE_NAME_SCAN_BR_X, SANE_NAME_SCAN_BR_Y})
            QTest::addRow("%s %s", source, option) << source << option;
}

void TestSaneRules::optionValuesAndInfoBits()
{
    QFETCH(QString, source);
    QFETCH(QString, option);
    setString(m_handle, SANE_NAME_SCAN_SOURCE, source.toUtf8().constData());
    // Compression applies to grey and colour scans only.
    setString(m_handle, SANE_NAME_SCAN_MODE, SANE_VALUE_SCAN_MODE_GRAY);
    SANE_Int number = optionNamed(m_handle, option);
    QVERIFY(number > 0);
    const SANE_Option_Descriptor &descriptor = *sane_ruvo_get_option_descriptor(m_handle, number);
    QVERIFY(SANE_OPTION_IS_ACTIVE(descriptor.cap) && SANE_OPTION_IS_SETTABLE(descriptor.cap));
    switch (descriptor.constraint_type) {
    case SANE_CONSTRAINT_STRING_LIST:
        walkStringList(m_handle, number, descriptor, option != "compression");
        break;
    case SANE_CONSTRAINT_WORD_LIST: walkWordList(m_handle, number, descriptor.constraint.word_list); break;
    case SANE_CONSTRAINT_RANGE: walkRange(m_handle, number, *descriptor.constraint.range, descriptor.type); break;
    default: QFAIL("an option without a constraint");
    }
}

void TestSaneRules::ioModeAndSelectDescriptorOnlyDuringAScan()
{
    chooseSmallGrey(m_handle, "Flatbed", 30, 20);
    SANE_Int ready = -1;
    for (SANE_Bool mode : {SANE_TRUE, SANE_FALSE})
        QCOMPARE(sane_ruvo_set_io_mode(m_handle, mode), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_get_select_fd(m_handle, &ready), SANE_STATUS_INVAL);
    QCOMPARE(ready, -1);

    QCOMPARE(sane_ruvo_start(m_handle), SANE_STATUS_GOOD);
    QCOMPARE(sane_ruvo_set_io_mode(m_handle, SANE_TRUE), SANE_STATUS_GOOD);
    QCOMPARE(sane_ruvo_set_io_mode(m_handle, SANE_FALSE), SANE_STATUS_GOOD);
    QCOMPARE(sane_ruvo_set_io_mode(m_handle, 7), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_get_select_fd(m_handle, &ready), SANE_STATUS_GOOD);
    QVERIFY(ready >= 0);
    qint64 bytes = 0;
    QCOMPARE(readFrame(m_handle, bytes), SANE_STATUS_EOF);
    // The page has ended, the scan not yet: that takes sane_cancel.
    QCOMPARE(sane_ruvo_set_io_mode(m_handle, SANE_FALSE), SANE_STATUS_GOOD);
    sane_ruvo_cancel(m_handle);
    SANE_Byte byte = 0;
    SANE_Int length = 0;
    QCOMPARE(sane_ruvo_read(m_handle, &byte, 1, &length), SANE_STATUS_CANCELLED);
    QCOMPARE(sane_ruvo_set_io_mode(m_handle, SANE_TRUE), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_get_select_fd(m_handle, &ready), SANE_STATUS_INVAL);
    // A scan that could not start is no scan either.
    setNumber(m_handle, SANE_NAME_SCAN_BR_X, 0);
    QCOMPARE(sane_ruvo_start(m_handle), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_set_io_mode(m_handle, SANE_TRUE), SANE_STATUS_INVAL);
    QCOMPARE(sane_ruvo_get_select_fd(m_handle, &ready), SANE_STATUS_INVAL);
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }));
}

void TestSaneRules::nonBlockingReadGivesTheBlockingPage_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("compression");
    QTest::addRow("grey, raw") << "Flatbed" << SANE_VALUE_SCAN_MODE_GRAY << "None";
    QTest::addRow("colour, JPEG") << "Flatbed" << SANE_VALUE_SCAN_MODE_COLOR << "JPEG";
    QTest::addRow("line art") << "Flatbed" << SANE_VALUE_SCAN_MODE_LINEART << "None";
    QTest::addRow("grey feeder sheet") << "ADF" << SANE_VALUE_SCAN_MODE_GRAY << "None";
}

void TestSaneRules::nonBlockingReadGivesTheBlockingPage()
{
    QFETCH(QString, source);
    QFETCH(QString, mode);
    QFETCH(QString, compression);
    chooseSmallGrey(m_handle, source.toUtf8().constData(), 60, 40, 100);
    setString(m_handle, SANE_NAME_SCAN_MODE, mode.toUtf8().constData());
    if (mode != SANE_VALUE_SCAN_MODE_LINEART)
        setString(m_handle, "compression", compression.toUtf8().constData());
    int empty = 0;
    QByteArray blocking = scanPage(m_handle, false, empty);
    QCOMPARE(empty, 0);
    QByteArray nonBlocking = scanPage(m_handle, true, empty);
    QVERIFY2(nonBlocking.size() == blocking.size(), nonBlocking.left(60).constData());
    QVERIFY(nonBlocking == blocking);
    SANE_Parameters parameters;
    QCOMPARE(sane_ruvo_get_parameters(m_handle, &parameters), SANE_STATUS_GOOD);
    QCOMPARE(blocking.size() % parameters.bytes_per_line, 0);
    if (parameters.lines > 0)
        QCOMPARE(blocking.size(), parameters.bytes_per_line * parameters.lines);
    // The network scanner here pauses after each block: a read that does not
    // wait finds nothing ready at times.
    if (!usbRows())
        QVERIFY(empty > 0);
    // Each empty read clears the descriptor until the reader brings the next
    // records (a few per block here); one left readable makes a polling front
    // end spin through thousands of them.
    QVERIFY2(empty < 200, qPrintable(QString::number(empty)));
    if (compression == "JPEG")
        setString(m_handle, "compression", "None");
    QVERIFY(eventually([] { return pageFiles().isEmpty(); }));
}

QTEST_GUILESS_MAIN(TestSaneRules)
#include "test_sane_rules.moc"

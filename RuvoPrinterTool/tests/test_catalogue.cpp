// The status texts, descriptions and remedies, in both languages.
#include "UtilLanguageCtrl.h"
#include "UtilPrinterStatus.h"

#include <QtTest>

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void samples_data();
    void samples();
    void everyMappedValueHasTexts();
};

void TestCatalogue::samples_data()
{
    QTest::addColumn<QString>("actual");
    QTest::addColumn<QString>("expected");
    const int en = c_iLanguageEnglish;
    const int zh = c_iLanguageChinese;
    QTest::addRow("off-line, Chinese") << c_strStatusLanguageText[PrinterStatusOffline][zh] << "脱机";
    QTest::addRow("off-line, English") << c_strStatusLanguageText[PrinterStatusOffline][en] << "Off-line";
    QTest::addRow("version mismatch, Chinese") << c_strStatusLanguageText[1][zh] << "数据格式错误或版本不匹配";
    QTest::addRow("reporting, Chinese") << c_strStatusLanguageText[11][zh] << "正在打印报告";
    QTest::addRow("canceling, English") << c_strStatusLanguageText[6][en] << "Canceling job";
    QTest::addRow("unknown error, English") << c_strErrorDescText[0][en] << "Unknown error status";
    QTest::addRow("unknown error, Chinese") << c_strErrorDescText[0][zh] << "错误状态未知";
    QTest::addRow("unknown error, no remedy") << c_strErrorSolutionText[0][en] << "";
    QTest::addRow("design life near, English") << c_strErrorDescText[22][en] << "The printer will exceed the design life!";
    QTest::addRow("design life near, no remedy (en)") << c_strErrorSolutionText[22][en] << "";
    QTest::addRow("design life near, no remedy (zh)") << c_strErrorSolutionText[22][zh] << "";
    QTest::addRow("full-width exclamation mark") << c_strErrorDescText[22][zh] << "本机将要超过设计寿命！";
    QTest::addRow("exceeded, full-width mark") << c_strErrorDescText[23][zh] << "本机已超过设计寿命！";
    QTest::addRow("full-width comma") << c_strErrorDescText[12][zh] << "碳粉已用完，继续打印将影响质量";
    QTest::addRow("full-width comma, replace") << c_strErrorDescText[13][zh] << "碳粉已用完，请更换碳粉盒";
    QTest::addRow("apostrophe kept") << c_strErrorDescText[16][en] << "Cartridge's life is full";
    QTest::addRow("waste toner wording") << c_strErrorDescText[19][en] << "The waste toner full";
    QTest::addRow("4 and 42 share a text") << c_strErrorDescText[42][zh] << c_strErrorDescText[4][zh];
    QTest::addRow("11 and 14 share the Chinese") << c_strErrorDescText[14][zh] << c_strErrorDescText[11][zh];
    QTest::addRow("11 and 14 differ in English") << c_strErrorDescText[14][en] << "Toner is running out";
    QTest::addRow("long remedy") << c_strErrorSolutionText[5][en]
                                 << "Stop Printing/Shut Down Waiting for Cooling/Contacting service";
    QTest::addRow("paper size remedy, Chinese") << c_strErrorSolutionText[37][zh] << "请检查纸张设置和实际纸张尺寸";
    QTest::addRow("IP settings, Chinese") << c_strErrorDescText[43][zh] << "IP设置错误";
    QTest::addRow("ADF jam, Chinese") << c_strErrorDescText[26][zh] << "ADF卡纸";
}

void TestCatalogue::samples()
{
    QFETCH(QString, actual);
    QFETCH(QString, expected);
    QCOMPARE(actual, expected);
}

void TestCatalogue::everyMappedValueHasTexts()
{
    // Every value the mappings can produce indexes a row with both languages filled.
    for (unsigned long statusByte = 0; statusByte <= 0xFF; ++statusByte) {
        const int status = GetPrinterStatusEnum(statusByte);
        QVERIFY(status >= 0 && status < PrinterStatusCount);
        QVERIFY(!c_strStatusLanguageText[status][c_iLanguageEnglish].isEmpty());
        QVERIFY(!c_strStatusLanguageText[status][c_iLanguageChinese].isEmpty());
    }
    for (unsigned long code = 0; code <= 0x10000; ++code) {
        const int value = GetErrorStatusEnum(code);
        QVERIFY(value >= 0 && value < ErrorStatusCount);
        QVERIFY(!c_strErrorDescText[value][c_iLanguageEnglish].isEmpty());
        QVERIFY(!c_strErrorDescText[value][c_iLanguageChinese].isEmpty());
    }
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "test_catalogue.moc"

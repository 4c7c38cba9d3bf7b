// The updater's image load, path prefix rule and retry rule, without a device.
#include "FirmwareUpdate.h"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestFwUpdateLogic : public QObject
{
    Q_OBJECT

private slots:
    void logGoesToItsOwnPlace();
    void loadsTheWholeFile_data();
    void loadsTheWholeFile();
    void refusesWhatCannotBeOpened();
    void stripsOnlyALeadingFilePrefix_data();
    void stripsOnlyALeadingFilePrefix();
    void retriesUntilSuccessOrThreeAttempts_data();
    void retriesUntilSuccessOrThreeAttempts();
};

void TestFwUpdateLogic::loadsTheWholeFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addRow("empty file") << QByteArray();
    QTest::addRow("text file named .fls") << QByteArray("not an image at all\n");
    QByteArray binary(70000, '\0');
    for (int i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i % 251);
    QTest::addRow("binary with zero bytes") << binary;
}

void TestFwUpdateLogic::loadsTheWholeFile()
{
    QFETCH(QByteArray, content);
    const QString path = QDir::tempPath() + "/image.fls";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();

    char *data = nullptr;
    int size = -1;
    QVERIFY(CheckFWFile(path, &data, size));
    QVERIFY(data != nullptr);
    QCOMPARE(size, content.size());
    QCOMPARE(QByteArray(data, size), content);
    delete[] data;
}

void TestFwUpdateLogic::refusesWhatCannotBeOpened()
{
    char *data = reinterpret_cast<char *>(this);
    int size = -1;
    QVERIFY(!CheckFWFile(QDir::tempPath() + "/no-such-image.fls", &data, size));
    QVERIFY(data == nullptr);
}

void TestFwUpdateLogic::stripsOnlyALeadingFilePrefix_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("path");
    QTest::addRow("pasted URL") << "file:///home/user/fw.fls" << "/home/user/fw.fls";
    QTest::addRow("plain path") << "/home/user/fw.fls" << "/home/user/fw.fls";
    QTest::addRow("other case kept") << "FILE:///home/user/fw.fls" << "FILE:///home/user/fw.fls";
    QTest::addRow("prefix inside kept") << "/x/file:///fw.fls" << "/x/file:///fw.fls";
}

void TestFwUpdateLogic::stripsOnlyALeadingFilePrefix()
{
    QFETCH(QString, typed);
    QFETCH(QString, path);
    QCOMPARE(StripFilePrefix(typed), path);
}

void TestFwUpdateLogic::retriesUntilSuccessOrThreeAttempts_data()
{
    QTest::addColumn<QList<int>>("results");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<int>("pauses");
    QTest::addColumn<int>("last");
    QTest::addRow("first succeeds") << QList<int>{0} << 1 << 0 << 0;
    QTest::addRow("second succeeds") << QList<int>{-7, 0} << 2 << 1 << 0;
    QTest::addRow("three failures, last result counts") << QList<int>{-7, -7, -2, 0} << 3 << 3 << -2;
}

void TestFwUpdateLogic::retriesUntilSuccessOrThreeAttempts()
{
    QFETCH(QList<int>, results);
    QFETCH(int, attempts);
    QFETCH(int, pauses);
    QFETCH(int, last);
    int called = 0;
    int paused = 0;
    const int result = SendWithRetries([&]() { return results.value(called++, 0); }, [&]() { ++paused; });
    QCOMPARE(result, last);
    QCOMPARE(called, attempts);
    QCOMPARE(paused, pauses);
}

// The log of this program lies in the user's own tree.
void TestFwUpdateLogic::logGoesToItsOwnPlace()
{
    QCOMPARE(FirmwareUpdaterLogLocation().strDirectory, QDir::homePath() + "/ruvo/k40_series_printer/log/");
    QCOMPARE(FirmwareUpdaterLogLocation().strBaseName, QString("log_fwupdate"));
}

QTEST_APPLESS_MAIN(TestFwUpdateLogic)
#include "test_fwupdate_logic.moc"

// The updater's image load, path prefix rule and retry rule, without a device.
#include "FirmwareUpdate.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <sys/stat.h>

class TestFwUpdateLogic : public QObject
{
    Q_OBJECT

private slots:
    void logGoesToItsOwnPlace();
    void loadsTheWholeFile_data();
    void loadsTheWholeFile();
    void refusesWhatItWillNotSend_data();
    void refusesWhatItWillNotSend();
    void loadsAnImageOfTheLargestSize();
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

void TestFwUpdateLogic::refusesWhatItWillNotSend_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("missing file") << "missing";
    QTest::addRow("FIFO that nobody writes (must not block)") << "fifo";
    QTest::addRow("character device") << "device";
    QTest::addRow("one byte over the largest size") << "over";
}

void TestFwUpdateLogic::refusesWhatItWillNotSend()
{
    QFETCH(QString, kind);
    constexpr qint64 limit = 4096;
    QString path = QDir::tempPath() + "/refused.fls";
    QFile::remove(path);
    if (kind == "fifo") {
        QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (kind == "device") {
        path = "/dev/zero";
    } else if (kind == "over") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(limit + 1));
    }

    char *data = reinterpret_cast<char *>(this);
    int size = -1;
    QVERIFY(!CheckFWFile(path, &data, size, limit));
    QVERIFY(data == nullptr);
    if (path != "/dev/zero")
        QFile::remove(path);
}

void TestFwUpdateLogic::loadsAnImageOfTheLargestSize()
{
    constexpr qint64 limit = 4096;
    const QString path = QDir::tempPath() + "/largest.fls";
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(QByteArray(int(limit), '\x5A')), limit);
    file.close();
    char *data = nullptr;
    int size = -1;
    QVERIFY(CheckFWFile(path, &data, size, limit));
    QCOMPARE(size, int(limit));
    QCOMPARE(QByteArray(data, size), QByteArray(int(limit), '\x5A'));
    delete[] data;
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
    QTest::addColumn<int>("goneAfter"); // the printer is known to be gone after this attempt (1-based); 0: never
    QTest::addRow("first succeeds") << QList<int>{0} << 1 << 0 << 0 << 0;
    QTest::addRow("second succeeds") << QList<int>{-7, 0} << 2 << 1 << 0 << 0;
    QTest::addRow("three failures, last result counts") << QList<int>{-7, -7, -2, 0} << 3 << 3 << -2 << 0;
    QTest::addRow("pulled out in the first attempt") << QList<int>{-7, -2, -2} << 1 << 1 << -7 << 1;
    QTest::addRow("pulled out in the second attempt") << QList<int>{-7, -7, 0} << 2 << 2 << -7 << 2;
}

void TestFwUpdateLogic::retriesUntilSuccessOrThreeAttempts()
{
    QFETCH(QList<int>, results);
    QFETCH(int, attempts);
    QFETCH(int, pauses);
    QFETCH(int, last);
    QFETCH(int, goneAfter);
    int called = 0;
    int paused = 0;
    const int result = SendWithRetries([&]() { return results.value(called++, 0); }, [&]() { ++paused; },
                                       [&]() { return goneAfter > 0 && called >= goneAfter; });
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

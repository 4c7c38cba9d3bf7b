// The rotating log: off means nothing at all, lines are whole, rotation happens
// strictly above 1 MiB, messages are cut at 1023 bytes.
#include "UtilLog.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

namespace {

QString LogDirectory()
{
    return LogLocation().strDirectory;
}

QByteArray ReadAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// The series' file with `index`, derived from the current file name "..._<index>.log".
QString SeriesFile(int index)
{
    QString name = CurrentLogFile();
    name.replace(QRegularExpression("_\\d+\\.log$"), QString("_%1.log").arg(index));
    return name;
}

// Enabling twice within one second names the same files, so earlier test
// output is cleared before a new series starts.
void FreshSeries()
{
    QDir directory(LogDirectory());
    for (const QString &name : directory.entryList(QDir::Files))
        directory.remove(name);
    SetLogEnable(true);
}

void PadTo(const QString &path, qint64 size)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.resize(size));
}

} // namespace

class TestUtilLog : public QObject
{
    Q_OBJECT

private slots:
    void offCreatesNothingAndFormatsNothing();
    void lineCarriesTimeLocationAndMessage();
    void percentInPreformattedTextIsKept();
    void longMessageIsCutAt1023Bytes();
    void rotatesOnlyAboveOneMebibyte();
    void threadsNeverInterleaveLines();
    void switchedOffAgainWritesNothing();
    void programsNameTheirOwnLocation();
};

void TestUtilLog::offCreatesNothingAndFormatsNothing()
{
    QVERIFY(!IsLogEnabled());
    // A bogus pointer behind "%s": formatting it would crash, so a passing
    // call proves that nothing is formatted while the log is off.
    const char *unreadable = reinterpret_cast<const char *>(static_cast<quintptr>(1));
    RUVO_LOG("never formatted %s", unreadable);
    RUVO_LOG_TEXT("never written");
    QVERIFY(!QDir(LogDirectory()).exists());
    QVERIFY(!QDir(QDir::homePath() + "/ruvo").exists());
    QVERIFY(CurrentLogFile().isEmpty());
}

void TestUtilLog::lineCarriesTimeLocationAndMessage()
{
    SetLogEnable(true);
    QVERIFY(QDir(LogDirectory()).exists());
    QVERIFY2(CurrentLogFile().endsWith("_0.log"), qPrintable(CurrentLogFile()));
    QVERIFY(QFileInfo(CurrentLogFile()).fileName().startsWith("log_"));

    WriteStringLog("src/widget.cpp", 42, "DoWork", "count %d name %s", 7, "abc");
    const QByteArray text = ReadAll(CurrentLogFile());
    const QRegularExpression shape(
        "^\\[\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\] \\(src/widget\\.cpp@42 DoWork\\) count 7 name abc\\n$");
    QVERIFY2(shape.match(QString::fromUtf8(text)).hasMatch(), text.constData());
}

void TestUtilLog::percentInPreformattedTextIsKept()
{
    const QString before = QString::fromUtf8(ReadAll(CurrentLogFile()));
    RUVO_LOG_TEXT("toner at 5%s %d %n done");
    const QString after = QString::fromUtf8(ReadAll(CurrentLogFile()));
    QVERIFY(after.startsWith(before));
    QVERIFY2(after.mid(before.size()).endsWith(") toner at 5%s %d %n done\n"), qPrintable(after));
}

void TestUtilLog::longMessageIsCutAt1023Bytes()
{
    const QString file = CurrentLogFile();
    const qint64 before = QFileInfo(file).size();
    QByteArray message;
    for (int i = 0; i < 2000; ++i)
        message.append(char('a' + i % 26));
    WriteStringLog(__FILE__, __LINE__, __FUNCTION__, "%s", message.constData());
    const QByteArray line = ReadAll(file).mid(before);
    QVERIFY(line.endsWith(message.left(1023) + "\n"));
    QVERIFY(!line.contains(message.left(1024)));
}

void TestUtilLog::rotatesOnlyAboveOneMebibyte()
{
    FreshSeries(); // index 0
    RUVO_LOG("first");
    const QString first = CurrentLogFile();
    QVERIFY(first.endsWith("_0.log"));

    PadTo(first, 1048576);
    RUVO_LOG("still the first file");
    QCOMPARE(CurrentLogFile(), first);
    QVERIFY(ReadAll(first).endsWith("still the first file\n"));
    QVERIFY(!QFile::exists(SeriesFile(1)));

    PadTo(first, 1048577);
    RUVO_LOG("the second file");
    QCOMPARE(CurrentLogFile(), SeriesFile(1));
    QVERIFY(ReadAll(SeriesFile(1)).endsWith("the second file\n"));
    QCOMPARE(QFileInfo(first).size(), qint64(1048577));
}

void TestUtilLog::threadsNeverInterleaveLines()
{
    FreshSeries();
    const QString firstFile = CurrentLogFile();
    constexpr int kLinesPerThread = 10000;
    auto writer = [](char tag) {
        for (int i = 0; i < kLinesPerThread; ++i)
            WriteStringLog("thread.cpp", 1, "Writer", "%c-%05d-%s", tag, i, "0123456789abcdefghijklmnopqrstuvwxyz");
    };
    std::thread one(writer, 'A');
    std::thread two(writer, 'B');
    one.join();
    two.join();

    // About 1.6 MB of lines: the series has rotated at least once.
    QByteArray all;
    for (int index = 0; QFile::exists(SeriesFile(index)); ++index)
        all += ReadAll(SeriesFile(index));
    QVERIFY(QFile::exists(SeriesFile(1)));
    QVERIFY(firstFile.endsWith("_0.log"));

    const QList<QByteArray> lines = all.split('\n');
    QCOMPARE(lines.size(), 2 * kLinesPerThread + 1); // the text ends with a line feed
    const QRegularExpression whole("^\\[[^]]+\\] \\(thread\\.cpp@1 Writer\\) ([AB])-(\\d{5})-0123456789abcdefghijklmnopqrstuvwxyz$");
    int next[2] = {0, 0};
    for (int i = 0; i < lines.size() - 1; ++i) {
        const QRegularExpressionMatch match = whole.match(QString::fromUtf8(lines.at(i)));
        QVERIFY2(match.hasMatch(), lines.at(i).constData());
        int &expected = next[match.captured(1) == "A" ? 0 : 1];
        QCOMPARE(match.captured(2).toInt(), expected); // each thread's lines in its own order
        ++expected;
    }
    QCOMPARE(next[0], kLinesPerThread);
    QCOMPARE(next[1], kLinesPerThread);
}

void TestUtilLog::switchedOffAgainWritesNothing()
{
    SetLogEnable(true);
    const QString file = CurrentLogFile();
    RUVO_LOG("on");
    const QByteArray before = ReadAll(file);
    SetLogEnable(false);
    RUVO_LOG("off");
    QVERIFY(CurrentLogFile().isEmpty());
    QCOMPARE(ReadAll(file), before);
}

void TestUtilLog::programsNameTheirOwnLocation()
{
    const QString home = QDir::homePath() + "/ruvo/k40_series_printer/log/";
    // Before a program names its location, the log goes into the user's tree.
    QCOMPARE(LogLocation().strDirectory, home);
    QCOMPARE(LogLocation().strBaseName, QString("log"));

    QCOMPARE(UserLogLocation("/log/", "log_tool").strDirectory, home);
    QCOMPARE(ProductLogLocation("/Log/", "log_nettool").strDirectory, QString("/opt/ruvo/k40_series_printer/Log/"));

    const QTemporaryDir elsewhere;
    SetLogLocation({elsewhere.path() + "/logs/", "log_here"});
    SetLogEnable(true);
    RUVO_LOG("into the named place");
    QVERIFY2(CurrentLogFile().startsWith(elsewhere.path() + "/logs//log_here_"), qPrintable(CurrentLogFile()));
    QVERIFY(ReadAll(CurrentLogFile()).endsWith("into the named place\n"));
    SetLogEnable(false);
}

QTEST_GUILESS_MAIN(TestUtilLog)
#include "test_utillog.moc"

// The queue installer's own reading of its printer list: URI quotes stripped;
// the list opened once, refused unless it is a regular file of the expected
// owner, and consumed only when every queue was made.
#include "PrinterListFiles.h"
#include "QueueInstaller.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace printer_list_files;

namespace {

const Section kUnknownModel{"Other", "Acme Laser 9", "2", "10.0.0.9", "socket://10.0.0.9"};

QByteArray Content(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct stat StatusOf(mode_t type, uid_t owner, off_t size, mode_t permissions = 0644)
{
    struct stat status {};
    status.st_mode = type | permissions;
    status.st_uid = owner;
    status.st_size = size;
    return status;
}

} // namespace

class TestQueueInstallerList : public QObject
{
    Q_OBJECT

private slots:
    void logGoesToItsOwnPlace();
    void installerStripsUriQuotes_data();
    void installerStripsUriQuotes();
    void installerDeletesTheFileAlsoWhenEmpty();
    void openFileChecks_data();
    void openFileChecks();
    void refusedListIsNeitherReadNorDeleted_data();
    void refusedListIsNeitherReadNorDeleted();
    void replacedListIsNotDeleted();
};

void TestQueueInstallerList::installerStripsUriQuotes_data()
{
    QTest::addColumn<QString>("fileValue");
    QTest::addColumn<QString>("expected");
    // The INI reader removes quotes that enclose a whole value; escaped quotes
    // are part of the value and are what the installer strips.
    QTest::addRow("quotes on both ends") << R"("\"usb://Ruvo/K400?serial=1\"")" << "usb://Ruvo/K400?serial=1";
    QTest::addRow("leading quote only") << R"("\"socket://10.0.0.5")" << "socket://10.0.0.5";
    QTest::addRow("trailing quote only") << R"("socket://10.0.0.5\"")" << "socket://10.0.0.5";
    QTest::addRow("quote inside kept") << R"("ipp://a\"b")" << "ipp://a\"b";
    QTest::addRow("no quotes") << "socket://10.0.0.6:9100" << "socket://10.0.0.6:9100";
}

void TestQueueInstallerList::installerStripsUriQuotes()
{
    QFETCH(QString, fileValue);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    Section section = kNetworkPrinter;
    section.uri = fileValue;
    const QString path = WriteList(dir, "1", {{0, section}});
    const stInstallerList list = ReadInstallerPrinterList(path, getuid());
    QCOMPARE(int(list.enState), int(enInstallerList::Accepted));
    QCOMPARE(list.printers.size(), 1);
    QCOMPARE(list.printers.at(0).strURI, expected);
    QVERIFY(QFile::exists(path)); // reading alone never deletes
}

// No queue to make (nothing listed, or only models of other makers): the run
// succeeds and the list is consumed.
void TestQueueInstallerList::installerDeletesTheFileAlsoWhenEmpty()
{
    QTemporaryDir dir;
    const QString unknownOnly = WriteList(dir, "1", {{0, kUnknownModel}});
    QCOMPARE(AddPrinter(unknownOnly, getuid()), 0);
    QVERIFY(!QFile::exists(unknownOnly));

    const QString empty = WriteList(dir, "0", {{0, kNetworkPrinter}}, "empty.ini");
    QCOMPARE(AddPrinter(empty, getuid()), 0);
    QVERIFY(!QFile::exists(empty));

    // No list at all: nothing to do, and that is no failure.
    QCOMPARE(AddPrinter(dir.filePath("missing.ini"), getuid()), 0);
}

void TestQueueInstallerList::openFileChecks_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("owner");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("permissions");
    QTest::addRow("root's regular file") << int(S_IFREG) << 0 << qint64(300) << true << 0644;
    QTest::addRow("read-only for root") << int(S_IFREG) << 0 << qint64(300) << true << 0400;
    QTest::addRow("group may write") << int(S_IFREG) << 0 << qint64(300) << false << 0664;
    QTest::addRow("others may write") << int(S_IFREG) << 0 << qint64(300) << false << 0646;
    QTest::addRow("sticky, others may write") << int(S_IFREG) << 0 << qint64(300) << false << 01666;
    QTest::addRow("empty file") << int(S_IFREG) << 0 << qint64(0) << true << 0644;
    QTest::addRow("at the size limit") << int(S_IFREG) << 0 << c_iMaxInstallerListBytes << true << 0644;
    QTest::addRow("one byte over") << int(S_IFREG) << 0 << c_iMaxInstallerListBytes + 1 << false << 0644;
    QTest::addRow("another user's file") << int(S_IFREG) << 1000 << qint64(300) << false << 0644;
    QTest::addRow("pipe") << int(S_IFIFO) << 0 << qint64(0) << false << 0644;
    QTest::addRow("directory") << int(S_IFDIR) << 0 << qint64(4096) << false << 0644;
    QTest::addRow("device") << int(S_IFCHR) << 0 << qint64(0) << false << 0644;
}

void TestQueueInstallerList::openFileChecks()
{
    QFETCH(int, type);
    QFETCH(int, owner);
    QFETCH(qint64, size);
    QFETCH(bool, accepted);
    QFETCH(int, permissions);
    const QString problem =
        CheckInstallerListFile(StatusOf(mode_t(type), uid_t(owner), off_t(size), mode_t(permissions)), 0);
    QVERIFY2(problem.isEmpty() == accepted, qPrintable(problem));
}

void TestQueueInstallerList::refusedListIsNeitherReadNorDeleted_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addRow("link to a good list") << "link";
    QTest::addRow("dangling link") << "dangling";
    QTest::addRow("pipe (never blocks)") << "fifo";
    QTest::addRow("directory") << "directory";
    QTest::addRow("another owner") << "owner";
    QTest::addRow("others may write") << "writable";
    QTest::addRow("too large") << "large";
}

void TestQueueInstallerList::refusedListIsNeitherReadNorDeleted()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString good = WriteList(dir, "1", {{0, kUnknownModel}}, "good.ini");
    const QString path = dir.filePath("ruvo_printerlist.ini");
    uid_t requiredOwner = getuid();
    if (kind == "link") {
        QVERIFY(QFile::link(good, path));
    } else if (kind == "dangling") {
        QVERIFY(QFile::link(dir.filePath("nowhere.ini"), path));
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
    } else if (kind == "directory") {
        QVERIFY(QDir().mkpath(path));
    } else if (kind == "owner") {
        QVERIFY(QFile::copy(good, path));
        requiredOwner = getuid() + 1;
    } else if (kind == "writable") {
        QVERIFY(QFile::copy(good, path));
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0666), 0);
    } else if (kind == "large") {
        QVERIFY(QFile::copy(good, path));
        QVERIFY(QFile::resize(path, c_iMaxInstallerListBytes + 1));
    }
    const QByteArray before = Content(good);

    const stInstallerList list = ReadInstallerPrinterList(path, requiredOwner);
    QCOMPARE(int(list.enState), int(enInstallerList::Refused));
    QVERIFY(list.printers.isEmpty());
    QVERIFY(!list.strProblem.isEmpty());

    QCOMPARE(AddPrinter(path, requiredOwner), 1);
    QVERIFY(QFileInfo(path).exists() || QFileInfo(path).isSymLink());
    QCOMPARE(Content(good), before);
}

// Deleting goes by the file that was read: a list swapped in after reading is
// someone else's and stays.
void TestQueueInstallerList::replacedListIsNotDeleted()
{
    QTemporaryDir dir;
    const QString path = WriteList(dir, "1", {{0, kUnknownModel}});
    const stInstallerList list = ReadInstallerPrinterList(path, getuid());
    QCOMPARE(int(list.enState), int(enInstallerList::Accepted));
    const QString other = WriteList(dir, "0", {}, "other.ini");
    QVERIFY(QFile::remove(path));
    QVERIFY(QFile::rename(other, path));
    QVERIFY(!RemoveInstallerPrinterList(path, list));
    QVERIFY(QFile::exists(path));

    const stInstallerList again = ReadInstallerPrinterList(path, getuid());
    QVERIFY(RemoveInstallerPrinterList(path, again));
    QVERIFY(!QFile::exists(path));
}

// The log of this program lies under the product directory.
void TestQueueInstallerList::logGoesToItsOwnPlace()
{
    QCOMPARE(QueueInstallerLogLocation().strDirectory, QString("/opt/ruvo/k40_series_printer/log/"));
    QCOMPARE(QueueInstallerLogLocation().strBaseName, QString("log_update"));
}

QTEST_GUILESS_MAIN(TestQueueInstallerList)
#include "test_queue_installer_list.moc"

// The main window on the offscreen platform: table rows follow the printer list
// and the status files through the real worker threads; "退出" stops them all.
// Also the settings window and the opening of the working tree.
#include "AppSetting.h"
#include "RuvoPaths.h"
#include "StatusReplyEncoder.h"
#include "UtilChmod.h"
#include "ruvoprintertoolwidget.h"

#include <QCheckBox>
#include <QDir>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <csignal>
#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace {

void WriteFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    // Replaced, never rewritten in place, as the service does it.
    const QString temporary = path + ".part";
    QFile file(temporary);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    QVERIFY(::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) == 0);
}

QByteArray PrinterList(const QList<QStringList> &printers) // name, connect type, port
{
    QByteArray text = "[Main]\nCount=" + QByteArray::number(printers.size()) + "\n";
    for (int i = 0; i < printers.size(); ++i)
        text += "[printer_" + QByteArray::number(i) + "]\nName=" + printers[i][0].toUtf8() + "\nModel=Ruvo K400\nConnectType="
              + printers[i][1].toUtf8() + "\nPort=" + printers[i][2].toUtf8() + "\nURI=usb://x/" + QByteArray::number(i) + "\n";
    return text;
}

QByteArray Reply(quint8 status, quint64 toner, QList<quint16> errors, QList<quint16> warnings)
{
    stStatusReply reply;
    reply.statusByte = status;
    reply.errorCodes = errors;
    reply.warningCodes = warnings;
    reply.supplies = {NumberSupply(0x1000, toner, 2)};
    return EncodeStatusReply(reply);
}

QString Cell(QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->text() : QString();
}

constexpr int c_iHangingPrinters = 8;
const char c_szStuckTrayOption[] = "--tray-with-hanging-cancel";

// In a process of its own: the tray window with printers that all report
// cancelling a job, while "cancel" never returns. Once every cancel runs it
// says "exiting" and leaves through "退出", as a user would.
int RunTrayWithHangingCancel(int argc, char **argv)
{
    QApplication application(argc, argv);
    const QString pidDir = qEnvironmentVariable("RUVO_TEST_CANCEL_DIR");
    RuvoPrinterToolWidget window;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&]() {
        if (QDir(pidDir).entryList({"*.pid"}, QDir::Files).size() < c_iHangingPrinters)
            return;
        poll.stop();
        printf("exiting\n");
        fflush(stdout);
        window.SlotTrayActionExit();
    });
    poll.start(50);
    return QApplication::exec();
}

mode_t ModeOf(const QString &path)
{
    struct stat status {};
    ::lstat(QFile::encodeName(path).constData(), &status);
    return status.st_mode & 07777;
}

} // namespace

class TestTrayWindow : public QObject
{
    Q_OBJECT
private slots:
    void rowsAndCellsFollowListAndStatusFiles();
    void closingOnlyHidesAndExitStopsEveryWorker();
    void exitEndsTheProcessWithinItsBoundWhileWorkersHang();
    void withoutAnyTrayTheWindowStaysReachable();
    void settingsOkCancelAndClose();
    void settingsKeepsAnExistingEntry();
    void workingTreeClosesWithoutFollowingLinks();
    void startClosesTreeAndAutostartEntry();
    void autostartEntryIsTheUsersOwn();
};

void TestTrayWindow::rowsAndCellsFollowListAndStatusFiles()
{
    WriteFile(RuvoPaths::PrinterListFile(),
              PrinterList({{"Desk", "1", "serial=A1"}, {"Hall", "1", "serial=B2"}, {"Floor2", "2", "192.168.1.20"}}));
    RuvoPrinterToolWidget window;
    auto *table = window.findChild<QTableWidget *>("tableDeviceManage");
    QVERIFY(table);
    QCOMPARE(window.windowTitle(), QString::fromUtf8("Ruvo打印助手"));
    QCOMPARE(table->horizontalHeaderItem(3)->text(), QString::fromUtf8("状态"));

    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 3, 15000);
    QCOMPARE(Cell(table, 0, 0), QString("Desk"));
    QCOMPARE(Cell(table, 0, 1), QString("USB"));
    QCOMPARE(Cell(table, 1, 1), QString("USB"));
    QCOMPARE(Cell(table, 2, 1), QString::fromUtf8("网络(192.168.1.20)"));
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(Cell(table, row, 2), QString("0.00%"));
        QCOMPARE(Cell(table, row, 3), QString::fromUtf8("脱机"));
    }

    WriteFile(RuvoPaths::StatusFile("Floor2"), Reply(0x10, 4250, {}, {0x110D}));
    WriteFile(RuvoPaths::StatusFile("Hall"), Reply(0x00, 10000, {0x1106, 0x11B0}, {0x110D}));
    QTRY_COMPARE_WITH_TIMEOUT(Cell(table, 2, 3), QString::fromUtf8("正在打印(碳粉不足)"), 15000);
    QCOMPARE(Cell(table, 2, 2), QString("42.50%"));
    QTRY_COMPARE_WITH_TIMEOUT(Cell(table, 1, 3), QString::fromUtf8("前盖已打开"), 15000);
    QCOMPARE(Cell(table, 1, 2), QString("100.00%"));
    QCOMPARE(Cell(table, 0, 3), QString::fromUtf8("脱机"));

    // A printer added at the end: every row starts again from Off-line.
    WriteFile(RuvoPaths::PrinterListFile(),
              PrinterList({{"Desk", "1", "serial=A1"}, {"Hall", "1", "serial=B2"}, {"Floor2", "2", "192.168.1.20"},
                           {"Lab", "2", "192.168.1.21"}}));
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 4, 15000);
    // ...and shows its state again once its worker reads the file.
    QTRY_COMPARE_WITH_TIMEOUT(Cell(table, 2, 3), QString::fromUtf8("正在打印(碳粉不足)"), 15000);
    window.SlotTrayActionExit();
}

void TestTrayWindow::closingOnlyHidesAndExitStopsEveryWorker()
{
    WriteFile(RuvoPaths::PrinterListFile(), PrinterList({{"Desk", "1", "serial=A1"}, {"Hall", "1", "serial=B2"}}));
    auto *window = new RuvoPrinterToolWidget;
    stTrayPresence xembedTray; // the offscreen platform has no tray of its own
    xembedTray.bXEmbedTray = true;
    xembedTray.bXEmbedIconMade = true;
    window->ApplyTrayPresence(xembedTray);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    window->close();
    QVERIFY(!window->isVisible());
    window->SlotTrayActionShow();
    QVERIFY(window->isVisible());

    auto *table = window->findChild<QTableWidget *>("tableDeviceManage");
    QTRY_COMPARE_WITH_TIMEOUT(table->rowCount(), 2, 15000);
    QSignalSpy quitting(window, &RuvoPrinterToolWidget::SgnThreadQuit);
    window->SlotTrayActionExit();
    QVERIFY(!window->isVisible());
    QCOMPARE(quitting.count(), 1);
    // The destructor returns only once the list worker and both status workers
    // have left their loops and their threads have finished.
    delete window;
}

void TestTrayWindow::exitEndsTheProcessWithinItsBoundWhileWorkersHang()
{
    // A "cancel" that records its pid and then hangs far longer than the bound.
    const QString bin = QDir::tempPath() + "/hanging-bin";
    const QString pidDir = QDir::tempPath() + "/hanging-cancels";
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QDir(pidDir).removeRecursively() && QDir().mkpath(pidDir));
    WriteFile(bin + "/cancel", "#!/bin/sh\necho $$ > \"$RUVO_TEST_CANCEL_DIR/$1.pid\"\nexec sleep 60\n");
    QCOMPARE(::chmod(QFile::encodeName(bin + "/cancel").constData(), 0755), 0);
    QList<QStringList> printers;
    for (int i = 0; i < c_iHangingPrinters; ++i)
        printers << QStringList{QString("Hang%1").arg(i), "1", QString("serial=H%1").arg(i)};
    WriteFile(RuvoPaths::PrinterListFile(), PrinterList(printers));
    for (const QStringList &printer : printers)
        WriteFile(RuvoPaths::StatusFile(printer[0]), Reply(0x03, 5000, {}, {})); // cancelling a job

    QProcess tray;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", bin + ":" + environment.value("PATH"));
    environment.insert("RUVO_TEST_CANCEL_DIR", pidDir);
    tray.setProcessEnvironment(environment);
    tray.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tray.start(QCoreApplication::applicationFilePath(), {c_szStuckTrayOption});
    QVERIFY(tray.waitForStarted(10000));
    QElapsedTimer startup;
    startup.start();
    while (!tray.canReadLine() && tray.state() == QProcess::Running && startup.elapsed() < 60000)
        tray.waitForReadyRead(100);
    QCOMPARE(tray.readLine(), QByteArray("exiting\n"));
    QElapsedTimer exit;
    exit.start();
    QVERIFY(tray.waitForFinished(30000));
    const qint64 elapsed = exit.elapsed();
    qInfo("the process ended %lld ms after 退出", elapsed);

    QList<pid_t> cancels;
    for (const QString &name : QDir(pidDir).entryList({"*.pid"}, QDir::Files)) {
        QFile file(pidDir + "/" + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        cancels << pid_t(file.readAll().trimmed().toInt());
    }
    QCOMPARE(cancels.size(), c_iHangingPrinters);
    bool allHanging = true;
    for (pid_t pid : cancels) {
        allHanging = allHanging && ::kill(pid, 0) == 0;
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
    QVERIFY2(allHanging, "a cancel had ended: no worker was held up");
    QCOMPARE(tray.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tray.exitCode(), 0);
    // 3 s for all workers together, and a moment for the process to end.
    QVERIFY2(elapsed < 3000 + 2000, qPrintable(QString("the process ended %1 ms after 退出").arg(elapsed)));
}

// Hidden with no tray the program could never be reached: the window shows
// itself, its close button only minimises it, and a tray that appears takes
// the window back (unless the user asked for it meanwhile).
void TestTrayWindow::withoutAnyTrayTheWindowStaysReachable()
{
    RuvoPrinterToolWidget window;
    stTrayPresence none;
    stTrayPresence itemHost;
    itemHost.bWatcherOnBus = true;
    itemHost.bHostRegistered = true;
    window.ApplyTrayPresence(none);
    window.hide(); // as with -hide
    QVERIFY(!window.IsTrayReachable());
    QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), 15000);
    QVERIFY(!window.isMinimized());

    QVERIFY(!window.close());
    QVERIFY(window.isVisible());
    QVERIFY(window.isMinimized());

    window.ApplyTrayPresence(itemHost);
    QVERIFY(window.IsTrayReachable());
    QVERIFY(!window.isVisible());
    window.close();
    QVERIFY(!window.isVisible());

    // The tray goes again; this time the user opens the window before the
    // panel returns, and it stays open.
    window.ApplyTrayPresence(none);
    QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), 15000);
    window.SlotTrayActionShow();
    window.ApplyTrayPresence(itemHost);
    QVERIFY(window.isVisible());
    window.SlotTrayActionExit();
}

void TestTrayWindow::settingsOkCancelAndClose()
{
    QFile::remove(AppSetting::AutoStartEntryPath());
    AppSetting settings;
    auto *box = settings.findChild<QCheckBox *>("checkBoxAutoStart");
    auto *ok = settings.findChild<QPushButton *>("pushButtonOK");
    auto *cancel = settings.findChild<QPushButton *>("pushButtonCancel");
    QVERIFY(box && ok && cancel);
    QCOMPARE(box->text(), QString::fromUtf8("开机启动"));
    QVERIFY(!box->isChecked());

    settings.show();
    box->setChecked(true);
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(!settings.isVisible());
    QVERIFY(box->isChecked());
    QFile entry(AppSetting::AutoStartEntryPath());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QFile shipped(AppSetting::AutoStartTemplatePath());
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QCOMPARE(entry.readAll(), shipped.readAll());

    // Cancel and the close button drop the change; the disk decides.
    settings.show();
    box->setChecked(false);
    QTest::mouseClick(cancel, Qt::LeftButton);
    QVERIFY(box->isChecked());
    QVERIFY(QFile::exists(AppSetting::AutoStartEntryPath()));
    settings.show();
    box->setChecked(false);
    QVERIFY(!settings.close()); // the close is refused, the window only hides
    QVERIFY(!settings.isVisible());
    QVERIFY(box->isChecked());
    QVERIFY(QFile::exists(AppSetting::AutoStartEntryPath()));

    settings.show();
    box->setChecked(false);
    QTest::mouseClick(ok, Qt::LeftButton);
    QVERIFY(!QFile::exists(AppSetting::AutoStartEntryPath()));
    QVERIFY(!box->isChecked());

    // A fresh window reads the state from disk.
    QVERIFY(settings.SaveAutoStartOption(true));
    AppSetting second;
    QVERIFY(second.findChild<QCheckBox *>("checkBoxAutoStart")->isChecked());
}

void TestTrayWindow::settingsKeepsAnExistingEntry()
{
    const QByteArray own = "[Desktop Entry]\nExec=edited-by-the-user\n";
    WriteFile(AppSetting::AutoStartEntryPath(), own);
    AppSetting settings;
    auto *box = settings.findChild<QCheckBox *>("checkBoxAutoStart");
    QVERIFY(box->isChecked());
    QTest::mouseClick(settings.findChild<QPushButton *>("pushButtonOK"), Qt::LeftButton);
    QFile entry(AppSetting::AutoStartEntryPath());
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QCOMPARE(entry.readAll(), own);
    QVERIFY(box->isChecked());
}

void TestTrayWindow::workingTreeClosesWithoutFollowingLinks()
{
    // A tree as earlier versions left it: everything open to everybody.
    const QString root = QDir::homePath() + "/ruvo/";
    const QString inner = root + "k40_series_printer/temp/";
    QVERIFY(QDir().mkpath(inner));
    const QString outside = QDir::homePath() + "/shared.txt";
    WriteFile(outside, "not ours to change");
    WriteFile(inner + "scratch.tmp", "x");
    WriteFile(root + ".hidden", "x");
    QVERIFY(::chmod(QFile::encodeName(outside).constData(), 0666) == 0);
    QVERIFY(::chmod(QFile::encodeName(inner + "scratch.tmp").constData(), 0777) == 0);
    QVERIFY(::chmod(QFile::encodeName(root + ".hidden").constData(), 0666) == 0);
    QVERIFY(::chmod(QFile::encodeName(inner).constData(), 0777) == 0);
    QVERIFY(::chmod(QFile::encodeName(root).constData(), 0777) == 0);
    WriteFile(inner + "private.log", "x");
    QVERIFY(::chmod(QFile::encodeName(inner + "private.log").constData(), 0600) == 0);
    QVERIFY(QFile::link(outside, root + "link-to-shared"));
    QVERIFY(QFile::link(QDir::homePath(), inner + "link-to-home"));

    ChmodVendorPath(root);
    QCOMPARE(ModeOf(root), mode_t(0755));
    QCOMPARE(ModeOf(inner), mode_t(0755));
    QCOMPARE(ModeOf(inner + "scratch.tmp"), mode_t(0755));
    QCOMPARE(ModeOf(root + ".hidden"), mode_t(0644));
    QCOMPARE(ModeOf(inner + "private.log"), mode_t(0600)); // never opened wider
    QCOMPARE(ModeOf(outside), mode_t(0666));                // links are not followed

    ChmodFile(root + "link-to-shared");
    QCOMPARE(ModeOf(outside), mode_t(0666));
    ChmodFile(outside);
    QCOMPARE(ModeOf(outside), mode_t(0644));
}

// The window's start takes back what earlier versions opened: the working tree
// and the autostart entry, which anyone could otherwise rewrite to run
// commands as this user at the next login.
void TestTrayWindow::startClosesTreeAndAutostartEntry()
{
    const QString tree = QDir::homePath() + "/ruvo/k40_series_printer/temp/";
    QVERIFY(QDir().mkpath(tree));
    QVERIFY(::chmod(QFile::encodeName(tree).constData(), 0777) == 0);
    WriteFile(AppSetting::AutoStartEntryPath(), "[Desktop Entry]\nExec=true\n");
    QVERIFY(::chmod(QFile::encodeName(AppSetting::AutoStartEntryPath()).constData(), 0777) == 0);

    RuvoPrinterToolWidget window;
    QCOMPARE(ModeOf(tree), mode_t(0755));
    QCOMPARE(ModeOf(AppSetting::AutoStartEntryPath()), mode_t(0755));
    window.SlotTrayActionExit();
    QFile::remove(AppSetting::AutoStartEntryPath());
}

// Under a umask of 0 the option still writes nothing others may change, and
// creates the autostart folder when the session has none yet.
void TestTrayWindow::autostartEntryIsTheUsersOwn()
{
    const QString directory = AppSetting::AutoStartDirectory();
    QVERIFY(directory.startsWith(QDir::homePath() + "/.config/autostart"));
    QDir(directory).removeRecursively();
    const mode_t previous = ::umask(0);
    AppSetting settings;
    const bool saved = settings.SaveAutoStartOption(true);
    ::umask(previous);
    QVERIFY(saved);
    QCOMPARE(ModeOf(directory), mode_t(0755));
    QCOMPARE(ModeOf(AppSetting::AutoStartEntryPath()), mode_t(0644));
    QVERIFY(settings.ReadAutoStartOption());
    QVERIFY(settings.SaveAutoStartOption(false));
    QVERIFY(!settings.ReadAutoStartOption());

    // A link planted in the entry's place is neither followed nor replaced.
    const QString target = QDir::homePath() + "/elsewhere.desktop";
    QFile::remove(target);
    QVERIFY(QFile::link(target, AppSetting::AutoStartEntryPath()));
    QVERIFY(!AppSetting::InstallAutoStartEntry(AppSetting::AutoStartTemplatePath(), AppSetting::AutoStartEntryPath()));
    QVERIFY(!QFile::exists(target));
    QFile::remove(AppSetting::AutoStartEntryPath());

    // No template beside the program: nothing is written, the option stays off.
    QVERIFY(!AppSetting::InstallAutoStartEntry(QDir::homePath() + "/missing.desktop", AppSetting::AutoStartEntryPath()));
    QVERIFY(!QFile::exists(AppSetting::AutoStartEntryPath()));
}

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], c_szStuckTrayOption) == 0)
        return RunTrayWithHangingCancel(argc, argv);
    QApplication application(argc, argv);
    TestTrayWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_tray_window.moc"

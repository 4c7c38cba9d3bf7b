// The tray application's decisions: change rule, failed reads, job cancel,
// list comparison, row and state texts, "-hide" and the single-instance rule.
#include "AppSetting.h"
#include "TrayRules.h"

#include <QDir>
#include <QtTest>

#include <vector>

namespace {
stPrinterState Ready()
{
    stPrinterState state;
    state.enCurrentStatus = PrinterStatusReady;
    state.dwRemainingToner = 5000;
    return state;
}
stPrinterInfo Info(const QString &name, const QString &port, int type = 1, const QString &uri = "usb://x")
{
    stPrinterInfo info;
    info.strName = name;
    info.strPort = port;
    info.iConnectType = type;
    info.strURI = uri;
    info.strModel = "Ruvo K400";
    return info;
}
} // namespace

Q_DECLARE_METATYPE(stPrinterState)
Q_DECLARE_METATYPE(QList<stPrinterInfo>)

class TestTrayRules : public QObject
{
    Q_OBJECT
private slots:
    void logGoesToItsOwnPlace();
    void changeRule_data();
    void changeRule();
    void tenFailedReadsKeepTheStateTheEleventhGoesOffline();
    void jobCancelOnlyOnEnteringCanceling_data();
    void jobCancelOnlyOnEnteringCanceling();
    void sameListComparesNamesAndPortsOnly_data();
    void sameListComparesNamesAndPortsOnly();
    void rowTexts_data();
    void rowTexts();
    void stateTextAndNotice_data();
    void stateTextAndNotice();
    void hideOption_data();
    void hideOption();
    void singleInstance_data();
    void singleInstance();
    void singleInstancePerUser_data();
    void singleInstancePerUser();
    void autostartDirectory_data();
    void autostartDirectory();
    void printerNamesThatStayInTheFolder_data();
    void printerNamesThatStayInTheFolder();
};

void TestTrayRules::changeRule_data()
{
    QTest::addColumn<stPrinterState>("other");
    QTest::addColumn<bool>("changed");
    stPrinterState s;
    s = Ready(); QTest::addRow("identical") << s << false;
    s = Ready(); s.enCurrentStatus = PrinterStatusPrinting; QTest::addRow("status") << s << true;
    s = Ready(); s.dwRemainingToner = 4999; QTest::addRow("toner alone") << s << true;
    s = Ready(); s.listError = {ErrorFrontCoverOpen}; QTest::addRow("an error appears") << s << true;
    s = Ready(); s.listWarning = {ErrorTonerLow}; QTest::addRow("a warning appears") << s << true;
    s = Ready(); s.strFWVersion = "V2"; QTest::addRow("firmware text alone") << s << false;
    s = Ready(); s.iNumberOfError = 3; QTest::addRow("error count alone") << s << false;
    s = Ready(); s.dwNumberOfPages = 77; QTest::addRow("page counter alone") << s << false;
    s = Ready(); s.iReadFailCount = 4; QTest::addRow("fail count alone") << s << false;
    s = Ready(); s.strVenderName = "x"; s.strSupplySerialNumber = "y"; QTest::addRow("other texts") << s << false;
}

void TestTrayRules::changeRule()
{
    QFETCH(stPrinterState, other);
    QFETCH(bool, changed);
    QCOMPARE(IsPrinterStateChanged(Ready(), other), changed);
    QCOMPARE(IsPrinterStateChanged(other, Ready()), changed); // order does not matter

    // Lists compare by values and order, not by length alone.
    stPrinterState a = Ready(), b = Ready();
    a.listWarning = {ErrorTonerLow, ErrorCooling};
    b.listWarning = {ErrorCooling, ErrorTonerLow};
    QVERIFY(IsPrinterStateChanged(a, b));
    b.listWarning = a.listWarning;
    QVERIFY(!IsPrinterStateChanged(a, b));
}

void TestTrayRules::tenFailedReadsKeepTheStateTheEleventhGoesOffline()
{
    stPrinterState state = Ready();
    state.listError = {ErrorPaperJamInside};
    state.iNumberOfError = 1;
    state.listWarning = {ErrorTonerLow};
    state.iNumberOfWarning = 1;
    state.dwNumberOfPages = 42;
    for (int failure = 1; failure <= 10; ++failure) {
        ApplyReadFailure(state);
        QCOMPARE(state.enCurrentStatus, int(PrinterStatusReady));
        QCOMPARE(state.iReadFailCount, failure);
        QCOMPARE(state.listError.size(), 1);
    }
    ApplyReadFailure(state);
    QCOMPARE(state.enCurrentStatus, int(PrinterStatusOffline));
    QVERIFY(state.listError.isEmpty());
    QVERIFY(state.listWarning.isEmpty());
    QCOMPARE(state.iNumberOfError, 0);
    QCOMPARE(state.iNumberOfWarning, 0);
    QCOMPARE(state.iReadFailCount, 0);
    // Counters keep their last values.
    QCOMPARE(state.dwRemainingToner, quint64(5000));
    QCOMPARE(state.dwNumberOfPages, quint64(42));
}

void TestTrayRules::jobCancelOnlyOnEnteringCanceling_data()
{
    QTest::addColumn<bool>("changed");
    QTest::addColumn<int>("entryStatus");
    QTest::addColumn<int>("newStatus");
    QTest::addColumn<bool>("cancel");
    QTest::addRow("printing to canceling") << true << int(PrinterStatusPrinting) << int(PrinterStatusCancelingJob) << true;
    QTest::addRow("off-line to canceling") << true << int(PrinterStatusOffline) << int(PrinterStatusCancelingJob) << true;
    QTest::addRow("staying at canceling, toner moved") << true << int(PrinterStatusCancelingJob) << int(PrinterStatusCancelingJob) << false;
    QTest::addRow("canceling to ready") << true << int(PrinterStatusCancelingJob) << int(PrinterStatusReady) << false;
    QTest::addRow("no change reported") << false << int(PrinterStatusPrinting) << int(PrinterStatusCancelingJob) << false;
    QTest::addRow("printing to ready") << true << int(PrinterStatusPrinting) << int(PrinterStatusReady) << false;
}

void TestTrayRules::jobCancelOnlyOnEnteringCanceling()
{
    QFETCH(bool, changed);
    QFETCH(int, entryStatus);
    QFETCH(int, newStatus);
    QFETCH(bool, cancel);
    QCOMPARE(IsJobCancelStarted(changed, entryStatus, newStatus), cancel);
}

void TestTrayRules::sameListComparesNamesAndPortsOnly_data()
{
    QTest::addColumn<QList<stPrinterInfo>>("records");
    QTest::addColumn<bool>("same");
    const QList<stPrinterInfo> base = {Info("A", "serial=1"), Info("B", "192.168.1.20", 2, "socket://b")};
    QTest::addRow("unchanged") << base << true;
    QList<stPrinterInfo> l = base; l[1].strURI = "socket://elsewhere"; l[1].strModel = "Ruvo K401DN"; l[1].iConnectType = 1;
    QTest::addRow("URI, model and connection differ") << l << true;
    l = base; l[1].strPort = "192.168.1.21"; QTest::addRow("port differs") << l << false;
    l = base; l[0].strName = "a"; QTest::addRow("name differs in case") << l << false;
    l = {base[1], base[0]}; QTest::addRow("two printers swap places") << l << false;
    l = base; l.append(Info("C", "serial=3")); QTest::addRow("one added at the end") << l << false;
    l = {base[0]}; QTest::addRow("one removed") << l << false;
    QTest::addRow("list emptied") << QList<stPrinterInfo>() << false;
}

void TestTrayRules::sameListComparesNamesAndPortsOnly()
{
    QFETCH(QList<stPrinterInfo>, records);
    QFETCH(bool, same);
    QList<stPrinterManager> entries = BuildInitialPrinterList({Info("A", "serial=1"), Info("B", "192.168.1.20", 2, "socket://b")});
    entries[0].enCurrentStatus = PrinterStatusPrinting; // states play no part
    QCOMPARE(IsSamePrinterList(records, entries), same);
    QVERIFY(IsSamePrinterList({}, {}));
}

void TestTrayRules::rowTexts_data()
{
    QTest::addColumn<int>("connectType");
    QTest::addColumn<QString>("port");
    QTest::addColumn<quint64>("toner");
    QTest::addColumn<QString>("connection");
    QTest::addColumn<QString>("tonerText");
    QTest::addRow("USB, full") << 1 << "serial=RV1" << quint64(10000) << "USB" << "100.00%";
    QTest::addRow("network, empty") << 2 << "192.168.1.20" << quint64(0) << QString::fromUtf8("网络(192.168.1.20)") << "0.00%";
    QTest::addRow("connection type 0 is network") << 0 << "" << quint64(4250) << QString::fromUtf8("网络()") << "42.50%";
    QTest::addRow("one hundredth") << 1 << "" << quint64(1) << "USB" << "0.01%";
}

void TestTrayRules::rowTexts()
{
    QFETCH(int, connectType);
    QFETCH(QString, port);
    QFETCH(quint64, toner);
    QFETCH(QString, connection);
    QFETCH(QString, tonerText);
    QCOMPARE(ConnectionText(Info("P", port, connectType)), connection);
    QCOMPARE(TonerText(toner), tonerText);
}

void TestTrayRules::stateTextAndNotice_data()
{
    QTest::addColumn<stPrinterState>("state");
    QTest::addColumn<int>("language");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("notice");
    QTest::addColumn<QString>("message");
    const int none = int(enTrayNotice::None), critical = int(enTrayNotice::Critical), warning = int(enTrayNotice::Warning);
    stPrinterState s;
    QTest::addRow("fresh entry") << s << 1 << QString::fromUtf8("脱机") << none << QString();
    QTest::addRow("fresh entry, English") << s << 0 << "Off-line" << none << QString();
    s = Ready(); s.listError = {ErrorFrontCoverOpen, ErrorPaperJamInside}; s.listWarning = {ErrorTonerLow};
    QTest::addRow("errors and warnings: first error") << s << 1 << QString::fromUtf8("前盖已打开") << critical << QString::fromUtf8("前盖已打开");
    s = Ready(); s.enCurrentStatus = PrinterStatusPrinting; s.listWarning = {ErrorTonerLow, ErrorCooling};
    QTest::addRow("printing with a warning") << s << 1 << QString::fromUtf8("正在打印(碳粉不足)") << warning << QString::fromUtf8("碳粉不足");
    s = Ready(); s.listWarning = {ErrorWasteTonerWillBeFull};
    QTest::addRow("ready with a warning") << s << 1 << QString::fromUtf8("就绪") << warning << QString::fromUtf8("废粉箱将满");
    s = Ready(); s.enCurrentStatus = PrinterStatusPrinting;
    QTest::addRow("printing, nothing wrong") << s << 1 << QString::fromUtf8("正在打印") << none << QString();
    s = Ready(); s.enCurrentStatus = PrinterStatusCancelingJob;
    QTest::addRow("canceling") << s << 0 << "Canceling job" << none << QString();
}

void TestTrayRules::stateTextAndNotice()
{
    QFETCH(stPrinterState, state);
    QFETCH(int, language);
    QFETCH(QString, text);
    QFETCH(int, notice);
    QFETCH(QString, message);
    const stStateView view = DescribePrinterState(state, language);
    QCOMPARE(view.strStateText, text);
    QCOMPARE(int(view.enNotice), notice);
    QCOMPARE(view.strNoticeText, message);
}

void TestTrayRules::hideOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("hide");
    QTest::addRow("no arguments") << QStringList{"RuvoPrinterTool"} << false;
    QTest::addRow("-hide") << QStringList{"RuvoPrinterTool", "-hide"} << true;
    QTest::addRow("mixed case") << QStringList{"RuvoPrinterTool", "-HiDe"} << true;
    QTest::addRow("after other arguments") << QStringList{"RuvoPrinterTool", "x", "-y", "-HIDE"} << true;
    QTest::addRow("two dashes") << QStringList{"RuvoPrinterTool", "--hide"} << false;
    QTest::addRow("no dash") << QStringList{"RuvoPrinterTool", "hide"} << false;
    QTest::addRow("program name itself") << QStringList{"-hide"} << false;
    QTest::addRow("with a value") << QStringList{"RuvoPrinterTool", "-hide=1"} << false;
}

void TestTrayRules::hideOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, hide);
    std::vector<QByteArray> storage;
    for (const QString &argument : arguments)
        storage.push_back(argument.toLatin1());
    std::vector<char *> argv;
    for (QByteArray &bytes : storage)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);
    QCOMPARE(CheckIsHide(int(storage.size()), argv.data()), hide);
}

void TestTrayRules::singleInstance_data()
{
    QTest::addColumn<QString>("application");
    QTest::addColumn<QStringList>("commands"); // all of user 1000
    QTest::addColumn<bool>("another");
    QTest::addRow("only this process") << "RuvoPrinterTool" << QStringList{"bash", "RuvoPrinterTool", "Xvfb"} << false;
    QTest::addRow("a second copy") << "RuvoPrinterTool" << QStringList{"RuvoPrinterTool", "RuvoPrinterTool"} << true;
    QTest::addRow("second copy in other case") << "RuvoPrinterTool" << QStringList{"RuvoPrinterTool", "ruvoprintertool"} << true;
    QTest::addRow("longer name: 15 characters shown") << "RuvoPrinterToolBeta" << QStringList{"RuvoPrinterTool", "RuvoPrinterTool"} << true;
    QTest::addRow("a 16-character command never matches") << "RuvoPrinterToolBeta" << QStringList{"RuvoPrinterTool", "RuvoPrinterToolB"} << false;
    QTest::addRow("a prefix is not a copy") << "RuvoPrinterTool" << QStringList{"RuvoPrinterTool", "RuvoPrinter"} << false;
    QTest::addRow("longer name is not a copy") << "RuvoTool" << QStringList{"RuvoTool", "RuvoToolHelper"} << false;
    QTest::addRow("grep of the name") << "RuvoPrinterTool" << QStringList{"RuvoPrinterTool", "grep"} << false;
    QTest::addRow("not running at all") << "RuvoPrinterTool" << QStringList{} << false;
}

void TestTrayRules::singleInstance()
{
    QFETCH(QString, application);
    QFETCH(QStringList, commands);
    QFETCH(bool, another);
    QList<stProcessEntry> table;
    pid_t pid = 100;
    for (const QString &command : commands)
        table.append(stProcessEntry{pid++, command, 1000});
    QCOMPARE(IsAnotherCopyRunning(table, application, 1000), another);
}

// Two users logged in at once each run their own copy; only a second copy of
// the same user is refused.
void TestTrayRules::singleInstancePerUser_data()
{
    QTest::addColumn<QList<int>>("owners"); // one RuvoPrinterTool per entry; -1: owner unreadable
    QTest::addColumn<bool>("another");      // as seen by user 1000
    QTest::addRow("alone") << QList<int>{1000} << false;
    QTest::addRow("another user's copy") << QList<int>{1000, 1001} << false;
    QTest::addRow("root's copy") << QList<int>{1000, 0} << false;
    QTest::addRow("own second copy beside another user's") << QList<int>{1001, 1000, 1000} << true;
    QTest::addRow("copy of unknown owner") << QList<int>{1000, -1} << false;
}

void TestTrayRules::singleInstancePerUser()
{
    QFETCH(QList<int>, owners);
    QFETCH(bool, another);
    QList<stProcessEntry> table;
    pid_t pid = 200;
    for (int owner : owners) {
        stProcessEntry entry{pid++, QStringLiteral("RuvoPrinterTool"), std::nullopt};
        if (owner >= 0)
            entry.uid = static_cast<uid_t>(owner);
        table.append(entry);
    }
    QCOMPARE(IsAnotherCopyRunning(table, QStringLiteral("RuvoPrinterTool"), 1000), another);
}

void TestTrayRules::printerNamesThatStayInTheFolder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("usable");
    QTest::addRow("queue name") << "Ruvo_K400_Office" << true;
    QTest::addRow("blank and quote") << "Front \"Desk\"" << true;
    QTest::addRow("climbs out") << "../../etc/passwd" << false;
    QTest::addRow("sub folder") << "a/b" << false;
    QTest::addRow("parent") << ".." << false;
    QTest::addRow("empty") << "" << false;
}

void TestTrayRules::printerNamesThatStayInTheFolder()
{
    QFETCH(QString, name);
    QFETCH(bool, usable);
    QCOMPARE(IsUsablePrinterName(name), usable);
}

void TestTrayRules::autostartDirectory_data()
{
    QTest::addColumn<QString>("xdgConfigHome");
    QTest::addColumn<QString>("directory");
    QTest::addRow("not set") << "" << "/home/ann/.config/autostart/";
    QTest::addRow("set") << "/home/ann/cfg" << "/home/ann/cfg/autostart/";
    QTest::addRow("trailing slash") << "/home/ann/cfg/" << "/home/ann/cfg/autostart/";
    QTest::addRow("relative value is ignored") << "cfg" << "/home/ann/.config/autostart/";
}

// The folder every desktop session reads at login, never the product's own.
void TestTrayRules::autostartDirectory()
{
    QFETCH(QString, xdgConfigHome);
    QFETCH(QString, directory);
    QCOMPARE(AppSetting::AutoStartDirectory(xdgConfigHome, "/home/ann"), directory);
}

// The log of this program lies in the user's own tree.
void TestTrayRules::logGoesToItsOwnPlace()
{
    QCOMPARE(TrayLogLocation().strDirectory, QDir::homePath() + "/ruvo/k40_series_printer/log/");
    QCOMPARE(TrayLogLocation().strBaseName, QString("log_tool"));
}

QTEST_GUILESS_MAIN(TestTrayRules)
#include "test_tray_rules.moc"

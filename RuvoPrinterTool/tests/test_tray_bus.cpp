// The tray item and the alerts against peers on a private session bus. The
// peers live in this test's own thread: a call the program made blocking could
// never be answered and the checks below would time out, so each check that a
// call arrived also shows that the program did not wait for it.
#include "DesktopNotifier.h"
#include "StatusNotifierItem.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

namespace {
const char c_szWatcher[] = "org.kde.StatusNotifierWatcher";
const char c_szNotifications[] = "org.freedesktop.Notifications";
} // namespace

// A watcher that records registrations and, when told to, never answers them.
class FakeWatcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
public:
    bool bHost = true;
    bool bHang = false;
    QStringList registered;
    QList<QDBusMessage> held;
    bool IsStatusNotifierHostRegistered() const { return bHost; }
public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &service, const QDBusMessage &message)
    {
        registered << service;
        if (bHang) {
            message.setDelayedReply(true);
            held << message;
        }
    }
signals:
    Q_SCRIPTABLE void StatusNotifierHostRegistered();
};

// A notification service that answers Notify as servers do (a replaced alert
// keeps its id, a new one gets the next), or holds the answers back.
class FakeNotifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    bool bHold = false;
    uint uNextId = 40;
    QList<QDBusMessage> calls;
    QList<QDBusMessage> held;
    void Release(QDBusConnection &connection)
    {
        for (const QDBusMessage &message : held)
            connection.send(message.createReply(QVariantList{IdFor(message.arguments()[1].toUInt())}));
        held.clear();
    }
    uint IdFor(uint replaces) { return replaces != 0 ? replaces : uNextId++; }
public slots:
    Q_SCRIPTABLE uint Notify(const QString &, uint replaces, const QString &, const QString &, const QString &,
                             const QStringList &, const QVariantMap &, int, const QDBusMessage &message)
    {
        calls << message;
        if (bHold) {
            message.setDelayedReply(true);
            held << message;
            return 0;
        }
        return IdFor(replaces);
    }
signals:
    Q_SCRIPTABLE void ActionInvoked(uint id, const QString &action);
};

class TestTrayBus : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void itemFollowsEveryOwnerOfTheWatcher();
    void aHangingWatcherHoldsNothingUp();
    void alertsReplaceAndWaitAndReportClicks();

private:
    QDBusConnection Connect(const QString &name);
    QProcess m_bus;
    QTemporaryDir m_dir;
    QString m_strAddress;
    int m_iConnections = 0;
};

void TestTrayBus::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // A bus that can start no service: only the peers of this test are on it.
    // Its socket is abstract: a path inside a deep build folder can pass the
    // hundred-odd bytes a socket address holds, and the bus then never starts.
    const QByteArray listenAddress = "unix:abstract=ruvo-tray-bus-" + QByteArray::number(QCoreApplication::applicationPid())
                                     + "-" + QUuid::createUuid().toByteArray(QUuid::Id128);
    QFile config(m_dir.filePath("bus.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig><type>session</type><listen>" + listenAddress + "</listen><policy context=\"default\"><allow send_destination=\"*\"/><allow receive_sender=\"*\"/><allow own=\"*\"/>"
                   "</policy></busconfig>\n");
    config.close();
    m_bus.start("dbus-daemon", {"--config-file=" + config.fileName(), "--nofork", "--nopidfile", "--print-address=1"});
    m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QVERIFY(m_bus.waitForStarted(10000));
    QVERIFY2(m_bus.waitForReadyRead(10000), "dbus-daemon printed no address");
    m_strAddress = QString::fromUtf8(m_bus.readLine()).trimmed();
    QVERIFY(!m_strAddress.isEmpty());
}

void TestTrayBus::cleanupTestCase()
{
    m_bus.terminate();
    m_bus.waitForFinished(10000);
}

QDBusConnection TestTrayBus::Connect(const QString &name)
{
    return QDBusConnection::connectToBus(m_strAddress, name + QString::number(++m_iConnections));
}

void TestTrayBus::itemFollowsEveryOwnerOfTheWatcher()
{
    QDBusConnection peer = Connect("peer");
    QDBusConnection own = Connect("item");
    QVERIFY(peer.isConnected() && own.isConnected());
    FakeWatcher watcher;
    QVERIFY(peer.registerObject("/StatusNotifierWatcher", &watcher,
                                QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties));
    QMenu menu;
    menu.addAction("显示主界面");
    StatusNotifierItem item("RuvoPrinterTool", "Ruvo打印助手", QImage(16, 16, QImage::Format_ARGB32), &menu, own);
    QVERIFY(!item.IsWatcherOnBus());
    QTRY_VERIFY_WITH_TIMEOUT(own.interface()->isServiceRegistered(item.ServiceName()), 10000);

    // The watcher comes after the item, as a panel started later at login.
    QVERIFY(peer.registerService(c_szWatcher));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.registered, QStringList{item.ServiceName()}, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(item.IsRegistered() && item.IsHostRegistered(), 10000);

    // The panel crashes and comes back: the item registers again.
    QVERIFY(peer.unregisterService(c_szWatcher));
    QTRY_VERIFY_WITH_TIMEOUT(!item.IsWatcherOnBus(), 10000);
    QVERIFY(!item.IsHostRegistered());
    watcher.bHost = false;
    QVERIFY(peer.registerService(c_szWatcher));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.registered.size(), 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(item.IsRegistered(), 10000);
    QVERIFY(!item.IsHostRegistered());
    // A host that registers later is seen through the watcher's signal.
    emit watcher.StatusNotifierHostRegistered();
    QTRY_VERIFY_WITH_TIMEOUT(item.IsHostRegistered(), 10000);

    // The host calls Activate on the item: the window is asked for.
    QSignalSpy activated(&item, &StatusNotifierItem::Activated);
    QDBusMessage activate = QDBusMessage::createMethodCall(item.ServiceName(), "/StatusNotifierItem",
                                                           "org.kde.StatusNotifierItem", "Activate");
    activate << 0 << 0;
    peer.call(activate, QDBus::NoBlock);
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 1, 10000);

    item.Withdraw();
    QTRY_VERIFY_WITH_TIMEOUT(!own.interface()->isServiceRegistered(item.ServiceName()), 10000);
    QVERIFY(peer.unregisterService(c_szWatcher));
    peer.unregisterObject("/StatusNotifierWatcher");
}

void TestTrayBus::aHangingWatcherHoldsNothingUp()
{
    QDBusConnection peer = Connect("peer");
    QDBusConnection own = Connect("item");
    FakeWatcher watcher;
    watcher.bHang = true;
    QVERIFY(peer.registerObject("/StatusNotifierWatcher", &watcher,
                                QDBusConnection::ExportScriptableContents | QDBusConnection::ExportAllProperties));
    QVERIFY(peer.registerService(c_szWatcher));
    QMenu menu;
    StatusNotifierItem item("RuvoPrinterTool", "Ruvo打印助手", QImage(), &menu, own);
    QVERIFY(item.IsWatcherOnBus());
    QTRY_COMPARE_WITH_TIMEOUT(watcher.registered.size(), 1, 10000);
    QVERIFY(!item.IsRegistered());
    // Answered at last: the item counts as registered.
    for (const QDBusMessage &message : watcher.held)
        peer.send(message.createReply());
    QTRY_VERIFY_WITH_TIMEOUT(item.IsRegistered(), 10000);
    QVERIFY(peer.unregisterService(c_szWatcher));
    peer.unregisterObject("/StatusNotifierWatcher");
}

void TestTrayBus::alertsReplaceAndWaitAndReportClicks()
{
    QDBusConnection peer = Connect("peer");
    QDBusConnection own = Connect("alerts");
    FakeNotifications server;
    QVERIFY(peer.registerObject("/org/freedesktop/Notifications", &server, QDBusConnection::ExportScriptableContents));
    QVERIFY(peer.registerService(c_szNotifications));
    DesktopNotifier notifier("Ruvo打印助手", "ruvo-printer-tool", QImage(8, 8, QImage::Format_ARGB32), own);
    QTRY_VERIFY_WITH_TIMEOUT(notifier.IsAvailable(), 10000);

    notifier.Show({"Lab", "设备内卡纸", enAlertUrgency::Critical});
    QTRY_COMPARE_WITH_TIMEOUT(server.calls.size(), 1, 10000);
    const QVariantList first = server.calls[0].arguments();
    QCOMPARE(first[0].toString(), QString("Ruvo打印助手"));
    QCOMPARE(first[1].toUInt(), 0u);
    QCOMPARE(first[2].toString(), QString("ruvo-printer-tool"));
    QCOMPARE(first[3].toString(), QString("Lab"));
    QCOMPARE(first[4].toString(), QString("设备内卡纸"));
    QVERIFY(first[5].toStringList().startsWith("default"));
    const QVariantMap hints = qdbus_cast<QVariantMap>(first[6]);
    QCOMPARE(hints.value("urgency").value<uchar>(), uchar(2));
    QVERIFY(hints.contains("image-data"));
    QCOMPARE(first[7].toInt(), 3000);

    // The server stalls: the next alert goes out, the ones after it wait, and
    // only the newest follows once the server answers.
    server.bHold = true;
    notifier.Show({"Lab", "前盖已打开", enAlertUrgency::Critical});
    QTRY_COMPARE_WITH_TIMEOUT(server.calls.size(), 2, 10000);
    QCOMPARE(server.calls[1].arguments()[1].toUInt(), 40u);
    notifier.Show({"Lab", "纸盒内卡纸", enAlertUrgency::Critical});
    notifier.Show({"Lab", "碳粉不足", enAlertUrgency::Normal});
    notifier.Show({"Desk", "碳粉不足", enAlertUrgency::Normal}); // another printer is not held back
    QTRY_COMPARE_WITH_TIMEOUT(server.calls.size(), 3, 10000);
    QCOMPARE(server.calls[2].arguments()[3].toString(), QString("Desk"));
    server.bHold = false;
    server.Release(peer);
    QTRY_COMPARE_WITH_TIMEOUT(server.calls.size(), 4, 10000);
    const QVariantList newest = server.calls[3].arguments();
    QCOMPARE(newest[3].toString(), QString("Lab"));
    QCOMPARE(newest[4].toString(), QString("碳粉不足"));
    QCOMPARE(qdbus_cast<QVariantMap>(newest[6]).value("urgency").value<uchar>(), uchar(1));
    QCOMPARE(newest[1].toUInt(), 40u); // still Lab's one alert

    // A click on our alert asks for the window; someone else's does not.
    QSignalSpy clicked(&notifier, &DesktopNotifier::AlertClicked);
    emit server.ActionInvoked(999, "default");
    emit server.ActionInvoked(40, "other");
    emit server.ActionInvoked(40, "default");
    // Signals of one sender arrive in order: the first two were handled before.
    QTRY_COMPARE_WITH_TIMEOUT(clicked.count(), 1, 10000);

    // The server goes: no alert is offered to it any more.
    QVERIFY(peer.unregisterService(c_szNotifications));
    QTRY_VERIFY_WITH_TIMEOUT(!notifier.IsAvailable(), 10000);
}

QTEST_MAIN(TestTrayBus)
#include "test_tray_bus.moc"

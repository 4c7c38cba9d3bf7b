#include "ruvoprintertoolwidget.h"

#include "AppSetting.h"
#include "DesktopNotifier.h"
#include "StatusNotifierItem.h"
#include "RuvoPaths.h"
#include "TrayRules.h"
#include "TrdDeviceManage.h"
#include "TrdGetPrinterStatus.h"
#include "UtilChmod.h"
#include "UtilLog.h"
#include "product_paths.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDir>
#include <QHeaderView>
#include <QMenu>
#include <QProcess>
#include <QScreen>
#include <QStringList>
#include <QTableWidget>
#include <QThread>
#include <QTimer>

#include <vector>

namespace {
const char c_szIconPath[] = ":/Icon/Resource/Ruvo.png";
// How long the shutdown waits for all workers together (there may be 64) to
// notice the quit flag. A cycle is short, so only a worker stuck in I/O (a
// status file that never answers, a cancel command that hangs) reaches it.
constexpr int c_iWorkerStopWaitMs = 3000;
// A panel that restarts, or starts just after us at login, is given this long
// before the window steps in for a missing tray.
constexpr int c_iNoTraySettleMs = 3000;
// How often the XEmbed tray's presence is looked at (a cached X11 look-up).
constexpr int c_iXEmbedPollMs = 2000;
const char c_szTitle[] = "Ruvo打印助手";
const char c_szDesktopEntry[] = "ruvo-printer-tool";

bool SamePresence(const stTrayPresence &a, const stTrayPresence &b)
{
    return a.bWatcherOnBus == b.bWatcherOnBus && a.bHostRegistered == b.bHostRegistered
        && a.bXEmbedTray == b.bXEmbedTray && a.bXEmbedIconMade == b.bXEmbedIconMade;
}

QString WorkingTree() { return QDir::homePath() + "/" + "ruvo/"; }

// Workers whose thread had not finished by the shutdown's bound, and the list
// they share. They are never released, since their thread may still use them;
// the process ends without waiting for them. Kept here so they stay reachable.
void LeaveRunning(void *object)
{
    static auto *s_pLeftRunning = new std::vector<void *>;
    s_pLeftRunning->push_back(object);
}
} // namespace

RuvoPrinterToolWidget::RuvoPrinterToolWidget(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("RuvoPrinterToolWidget"));
    resize(600, 300);
    setWindowTitle(QStringLiteral("RuvoPrinterToolWidget"));
    m_tableDeviceManage = new QTableWidget(this);
    m_tableDeviceManage->setObjectName(QStringLiteral("tableDeviceManage"));
    m_tableDeviceManage->setGeometry(20, 20, 560, 260);
    QMetaObject::connectSlotsByName(this);

    setWindowIcon(QIcon(QString::fromUtf8(c_szIconPath)));
    setWindowFlags(windowFlags() & ~Qt::WindowMaximizeButtonHint);
    setFixedSize(size());
    setWindowTitle(QStringLiteral("Ruvo打印助手"));
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        const QRect desktop = screen->geometry();
        move((desktop.width() - width()) / 2, (desktop.height() - height()) / 2);
    }

    m_appSetting = new AppSetting(nullptr);
    m_iStatusThreadCount = 0;
    m_sharedList = new stSharedPrinterList;

    InitLog();
    InitConfig();
    InitLanguage();
    InitDeviceTable();
    InitTrayIcon();
    InitThread();
}

RuvoPrinterToolWidget::~RuvoPrinterToolWidget()
{
    // The quit flags are normally set by "退出"; set them here too so a window
    // destroyed any other way still ends its workers.
    emit SgnThreadQuit();

    QList<QThread *> threads{m_threadDeviceManage};
    QList<QObject *> workers{m_trdDeviceManage};
    threads += m_listStatusThread;
    for (TrdGetPrinterStatus *worker : m_listStatusWorker)
        workers << worker;
    // Every loop is asked first, so they all wind down within the one bound.
    for (QThread *thread : threads)
        thread->quit();
    const QDeadlineTimer deadline(c_iWorkerStopWaitMs);
    bool allStopped = true;
    for (int i = 0; i < threads.size(); ++i) {
        // A worker is released only after its thread has finished.
        if (threads[i]->wait(deadline)) {
            delete threads[i];
            delete workers[i];
        } else {
            RUVO_LOG("worker %d still running at exit", i);
            LeaveRunning(threads[i]);
            LeaveRunning(workers[i]);
            allStopped = false;
        }
    }
    m_threadDeviceManage = nullptr;
    m_trdDeviceManage = nullptr;
    m_listStatusThread.clear();
    m_listStatusWorker.clear();

    delete m_appSetting;
    m_appSetting = nullptr;
    // Its menu exporter refers to the tray menu, a child released after this.
    delete m_statusItem;
    m_statusItem = nullptr;
    CleanTempFile();
    if (allStopped)
        delete m_sharedList;
    else
        LeaveRunning(m_sharedList);
    m_sharedList = nullptr;
}

void RuvoPrinterToolWidget::ChmodVendorPath(const QString &path) { ::ChmodVendorPath(path); }
void RuvoPrinterToolWidget::ChmodFile(const QString &path) { ::ChmodFile(path); }
void RuvoPrinterToolWidget::CleanTempFile() { ChmodVendorPath(WorkingTree()); }

void RuvoPrinterToolWidget::InitLog()
{
    SetLogEnable(false);
}

void RuvoPrinterToolWidget::InitConfig()
{
    MakeUserDirectory(RuvoPaths::UserPath(ruvo_paths::kTempSubDir));
    // Takes back the write access for everybody that earlier versions gave.
    ChmodVendorPath(WorkingTree());
    ChmodFile(AppSetting::AutoStartEntryPath());
}

void RuvoPrinterToolWidget::InitLanguage()
{
    m_iLanguage = 1;
}

void RuvoPrinterToolWidget::InitDeviceTable()
{
    RUVO_LOG("InitDeviceTable start");
    m_tableDeviceManage->setColumnCount(4);
    m_tableDeviceManage->horizontalHeader()->setStretchLastSection(true);
    m_tableDeviceManage->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tableDeviceManage->setHorizontalHeaderLabels(
        {QStringLiteral("打印机名称"), QStringLiteral("连接方式"), QStringLiteral("剩余碳粉量"), QStringLiteral("状态")});
    m_tableDeviceManage->setColumnWidth(0, 120);
    m_tableDeviceManage->setColumnWidth(1, 150);
    m_tableDeviceManage->setColumnWidth(2, 85);
    m_tableDeviceManage->setColumnWidth(3, 185);
    RUVO_LOG("InitDeviceTable end");
}

void RuvoPrinterToolWidget::InitTrayIcon()
{
    RUVO_LOG("InitTrayIcon start");
    m_actionShow = new QAction(QStringLiteral("显示主界面"), this);
    m_actionUpdateFW = new QAction(QStringLiteral("打印机更新助手"), this);
    m_actionSetting = new QAction(QStringLiteral("设置"), this);
    m_actionExit = new QAction(QStringLiteral("退出"), this);
    connect(m_actionShow, &QAction::triggered, this, &RuvoPrinterToolWidget::SlotTrayActionShow);
    connect(m_actionUpdateFW, &QAction::triggered, this, &RuvoPrinterToolWidget::SlotTrayActionUpdateFW);
    connect(m_actionSetting, &QAction::triggered, this, &RuvoPrinterToolWidget::SlotTrayActionSetting);
    connect(m_actionExit, &QAction::triggered, this, &RuvoPrinterToolWidget::SlotTrayActionExit);

    m_trayMenu = new QMenu(this);
    m_trayMenu->addAction(m_actionShow);
    m_trayMenu->addAction(m_actionUpdateFW);
    m_trayMenu->addAction(m_actionSetting);
    m_trayMenu->addAction(m_actionExit);

    // The same menu and actions serve the item a panel shows over D-Bus and the
    // XEmbed icon; whichever the desktop offers is shown (FollowDesktop).
    const QImage icon(QString::fromUtf8(c_szIconPath));
    const QDBusConnection bus = QDBusConnection::sessionBus();
    m_statusItem = new StatusNotifierItem(QStringLiteral("RuvoPrinterTool"), QString::fromUtf8(c_szTitle), icon,
                                          m_trayMenu, bus, this);
    connect(m_statusItem, &StatusNotifierItem::PresenceChanged, this, &RuvoPrinterToolWidget::FollowDesktop);
    connect(m_statusItem, &StatusNotifierItem::Activated, this, &RuvoPrinterToolWidget::SlotTrayActionShow);
    m_notifier = new DesktopNotifier(QString::fromUtf8(c_szTitle), QString::fromLatin1(c_szDesktopEntry), icon, bus,
                                     this);
    connect(m_notifier, &DesktopNotifier::AlertClicked, this, &RuvoPrinterToolWidget::SlotTrayActionShow);
    connect(m_notifier, &DesktopNotifier::AlertFailed, this, &RuvoPrinterToolWidget::ShowBalloon);

    m_noTrayTimer = new QTimer(this);
    m_noTrayTimer->setSingleShot(true);
    m_noTrayTimer->setInterval(c_iNoTraySettleMs);
    connect(m_noTrayTimer, &QTimer::timeout, this, &RuvoPrinterToolWidget::OnNoTraySettled);
    m_xembedPoll = new QTimer(this);
    m_xembedPoll->setInterval(c_iXEmbedPollMs);
    connect(m_xembedPoll, &QTimer::timeout, this, &RuvoPrinterToolWidget::FollowDesktop);
    m_xembedPoll->start();
    FollowDesktop();
    RUVO_LOG("InitTrayIcon end");
}

void RuvoPrinterToolWidget::MakeXEmbedIcon()
{
    m_trayIcon = new QSystemTrayIcon(this);
    m_trayIcon->setIcon(QIcon(QString::fromUtf8(c_szIconPath)));
    m_trayIcon->setToolTip(QString::fromUtf8(c_szTitle));
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, &RuvoPrinterToolWidget::SlotActivatedTrayIcon);
    connect(m_trayIcon, &QSystemTrayIcon::messageClicked, this, &RuvoPrinterToolWidget::SlotTrayActionShow);
    m_trayIcon->setContextMenu(m_trayMenu);
}

void RuvoPrinterToolWidget::FollowDesktop()
{
    stTrayPresence presence;
    presence.bWatcherOnBus = m_statusItem->IsWatcherOnBus();
    presence.bHostRegistered = m_statusItem->IsHostRegistered();
    // Qt asks the watcher, blocking, when its first tray icon is made: make it
    // only while there is none to ask.
    if (!presence.bWatcherOnBus && !m_trayIcon && !m_bQuitting)
        MakeXEmbedIcon();
    presence.bXEmbedIconMade = m_trayIcon != nullptr;
    presence.bXEmbedTray = m_trayIcon && QSystemTrayIcon::isSystemTrayAvailable();
    // Only a change is applied, so the offscreen tests can set what they need.
    if (m_bPresenceObserved && SamePresence(presence, m_observedPresence))
        return;
    m_bPresenceObserved = true;
    m_observedPresence = presence;
    ApplyTrayPresence(presence);
}

void RuvoPrinterToolWidget::ApplyTrayPresence(const stTrayPresence &presence)
{
    m_trayChoice = ChooseTray(presence);
    if (m_bQuitting)
        return;
    if (m_trayIcon)
        m_trayIcon->setVisible(m_trayChoice.bXEmbedIcon);
    if (m_trayChoice.bTrayReachable) {
        m_noTrayTimer->stop();
        // Shown only because no tray was there: back into the tray, unless the
        // user has asked for it since.
        if (m_bShownForNoTray) {
            m_bShownForNoTray = false;
            hide();
        }
    } else if (!m_noTrayTimer->isActive() && !m_bShownForNoTray) {
        m_noTrayTimer->start();
    }
}

void RuvoPrinterToolWidget::OnNoTraySettled()
{
    if (m_trayChoice.bTrayReachable || m_bQuitting)
        return;
    // Hidden with no tray, the program could never be reached again.
    if (!isVisible() || isMinimized()) {
        m_bShownForNoTray = true;
        setWindowFlags(Qt::Window);
        showNormal();
    }
}

void RuvoPrinterToolWidget::ShowAlert(const stAlert &alert)
{
    if (m_notifier->IsAvailable())
        m_notifier->Show(alert);
    else
        ShowBalloon(alert);
}

void RuvoPrinterToolWidget::ShowBalloon(const stAlert &alert)
{
    // Qt's own balloon needs the XEmbed icon to point at.
    if (m_trayIcon)
        m_trayIcon->showMessage(alert.strPrinter, alert.strText,
                                alert.enUrgency == enAlertUrgency::Critical ? QSystemTrayIcon::Critical
                                                                            : QSystemTrayIcon::Warning,
                                3000);
}

void RuvoPrinterToolWidget::InitThread()
{
    RUVO_LOG("InitThread start");
    m_trdDeviceManage = new TrdDeviceManage(nullptr);
    m_threadDeviceManage = new QThread(nullptr);
    m_trdDeviceManage->moveToThread(m_threadDeviceManage);
    m_threadDeviceManage->start();
    m_trdDeviceManage->Init(m_sharedList);
    connect(this, &RuvoPrinterToolWidget::SgnManageThreadStart, m_trdDeviceManage, &TrdDeviceManage::SlotTaskStart);
    // Direct: the worker's own event loop is busy inside its polling loop.
    connect(this, &RuvoPrinterToolWidget::SgnThreadQuit, m_trdDeviceManage, &TrdDeviceManage::SlotThreadQuit,
            Qt::DirectConnection);
    connect(m_trdDeviceManage, &TrdDeviceManage::SgnUpdatePrinterList, this,
            &RuvoPrinterToolWidget::SlotUpdatePrinterList, Qt::QueuedConnection);
    emit SgnManageThreadStart();
    RUVO_LOG("InitThread end");
}

void RuvoPrinterToolWidget::SlotUpdatePrinterList()
{
    QList<stPrinterManager> entries;
    {
        std::lock_guard<std::mutex> lock(m_sharedList->mutexList);
        entries = m_sharedList->listPrinter;
    }
    const int count = entries.size();
    m_tableDeviceManage->clearContents();
    m_tableDeviceManage->setRowCount(count);
    const QString offline = DescribePrinterState(stPrinterState(), m_iLanguage).strStateText;
    for (int i = 0; i < count; ++i) {
        m_tableDeviceManage->setItem(i, 0, new QTableWidgetItem(entries[i].strName));
        m_tableDeviceManage->setItem(i, 1, new QTableWidgetItem(ConnectionText(entries[i])));
        m_tableDeviceManage->setItem(i, 2, new QTableWidgetItem(TonerText(0)));
        m_tableDeviceManage->setItem(i, 3, new QTableWidgetItem(offline));
    }
    StartStatusWorkers(count);
    DebugOutputPrinterInfo();
}

void RuvoPrinterToolWidget::StartStatusWorkers(int count)
{
    for (int i = m_iStatusThreadCount; i < count; ++i) {
        auto *worker = new TrdGetPrinterStatus(nullptr);
        auto *thread = new QThread(nullptr);
        worker->moveToThread(thread);
        thread->start();
        worker->Init(i, m_sharedList);
        connect(this, &RuvoPrinterToolWidget::SgnStatusThreadStart, worker, &TrdGetPrinterStatus::SlotTaskStart);
        connect(this, &RuvoPrinterToolWidget::SgnThreadQuit, worker, &TrdGetPrinterStatus::SlotThreadQuit,
                Qt::DirectConnection);
        connect(worker, &TrdGetPrinterStatus::SgnUpdatePrinterStatus, this,
                &RuvoPrinterToolWidget::SlotUpdatePrinterStatus, Qt::QueuedConnection);
        // Also reaches the workers started earlier; their loops already run.
        emit SgnStatusThreadStart();
        m_listStatusWorker.append(worker);
        m_listStatusThread.append(thread);
        m_iStatusThreadCount = m_listStatusWorker.size();
    }
}

void RuvoPrinterToolWidget::SlotUpdatePrinterStatus(int index)
{
    stPrinterManager entry;
    {
        std::lock_guard<std::mutex> lock(m_sharedList->mutexList);
        if (index < 0 || index >= m_sharedList->listPrinter.size())
            return;
        entry = m_sharedList->listPrinter.at(index);
    }
    if (index >= m_tableDeviceManage->rowCount())
        return;

    m_tableDeviceManage->setItem(index, 2, new QTableWidgetItem(TonerText(entry.dwRemainingToner)));
    const stStateView view = DescribePrinterState(entry, m_iLanguage);
    if (view.enNotice != enTrayNotice::None)
        ShowAlert({entry.strName, view.strNoticeText,
                   view.enNotice == enTrayNotice::Critical ? enAlertUrgency::Critical : enAlertUrgency::Normal});
    m_tableDeviceManage->setItem(index, 3, new QTableWidgetItem(view.strStateText));
    DebugOutputPrinterStatus(index);
}

void RuvoPrinterToolWidget::SlotActivatedTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger)
        SlotTrayActionShow();
}

void RuvoPrinterToolWidget::SlotTrayActionShow()
{
    m_bShownForNoTray = false;
    if (isActiveWindow())
        return;
    setWindowFlags(Qt::Window);
    showNormal();
}

void RuvoPrinterToolWidget::SlotTrayActionUpdateFW()
{
    QProcess::startDetached(RuvoPaths::FirmwareUpdaterProgram(), QStringList());
}

void RuvoPrinterToolWidget::SlotTrayActionSetting()
{
    m_appSetting->show();
}

void RuvoPrinterToolWidget::SlotTrayActionExit()
{
    m_bQuitting = true;
    m_appSetting->close();
    hide();
    if (m_trayIcon)
        m_trayIcon->hide();
    m_statusItem->Withdraw();
    emit SgnThreadQuit();
    QCoreApplication::quit();
}

void RuvoPrinterToolWidget::closeEvent(QCloseEvent *event)
{
    // Without a tray a hidden window could never come back.
    if (!m_trayChoice.bTrayReachable && !m_bQuitting) {
        showMinimized();
        event->ignore();
        return;
    }
    hide();
    event->ignore();
}

void RuvoPrinterToolWidget::changeEvent(QEvent *)
{
}

void RuvoPrinterToolWidget::DebugOutputPrinterInfo()
{
    if (!IsLogEnabled())
        return;
    std::lock_guard<std::mutex> lock(m_sharedList->mutexList);
    const QList<stPrinterManager> &list = m_sharedList->listPrinter;
    RUVO_LOG("printer number=%d", list.size());
    for (int i = 0; i < list.size(); ++i) {
        const QByteArray name = list[i].strName.toLocal8Bit();
        RUVO_LOG("printer[%d] %s=%s", i, name.constData(), list[i].strPort.toLocal8Bit().constData());
        RUVO_LOG("%s: enType=%s", name.constData(), list[i].strModel.toLocal8Bit().constData());
        RUVO_LOG("%s: iConnectType=%d", name.constData(), list[i].iConnectType);
    }
}

void RuvoPrinterToolWidget::DebugOutputPrinterStatus(int index)
{
    if (!IsLogEnabled())
        return;
    stPrinterManager entry;
    {
        std::lock_guard<std::mutex> lock(m_sharedList->mutexList);
        if (index < 0 || index >= m_sharedList->listPrinter.size())
            return;
        entry = m_sharedList->listPrinter.at(index);
    }
    const QByteArray name = entry.strName.toLocal8Bit();
    const char *n = name.constData();
    auto codes = [](const QList<enErrorStatus> &list) {
        QStringList parts;
        for (enErrorStatus value : list)
            parts << QString::number(static_cast<int>(value));
        return parts.join(",").toLocal8Bit();
    };
    auto text = [](const QString &value) { return value.toLocal8Bit(); };
    RUVO_LOG("printer[%d]=%s", index, n);
    RUVO_LOG("%s: strPrinterSerialNumber=%s", n, text(entry.strPrinterSerialNumber).constData());
    RUVO_LOG("%s: enCurrentStatus=%d", n, entry.enCurrentStatus);
    RUVO_LOG("%s: strFWVersion=%s", n, text(entry.strFWVersion).constData());
    RUVO_LOG("%s: strVenderName=%s", n, text(entry.strVenderName).constData());
    RUVO_LOG("%s: strProductName=%s", n, text(entry.strProductName).constData());
    RUVO_LOG("%s: iNumberOfError=%d", n, entry.iNumberOfError);
    RUVO_LOG("%s: iNumberOfWarning=%d", n, entry.iNumberOfWarning);
    RUVO_LOG("%s: error code=%s", n, codes(entry.listError).constData());
    RUVO_LOG("%s: warning code=%s", n, codes(entry.listWarning).constData());
    RUVO_LOG("%s: strSupplySerialNumber=%s", n, text(entry.strSupplySerialNumber).constData());
    RUVO_LOG("%s: enSpplyType=%d", n, entry.enSpplyType);
    RUVO_LOG("%s: dwRemainingToner=%llu", n, static_cast<unsigned long long>(entry.dwRemainingToner));
    RUVO_LOG("%s: dwWasteToner=%llu", n, static_cast<unsigned long long>(entry.dwWasteToner));
    RUVO_LOG("%s: dwOPCRotation=%llu", n, static_cast<unsigned long long>(entry.dwOPCRotation));
    RUVO_LOG("%s: dwNumberOfPages=%llu", n, static_cast<unsigned long long>(entry.dwNumberOfPages));
    RUVO_LOG("%s: dwNumberOfPrint=%llu", n, static_cast<unsigned long long>(entry.dwNumberOfPrint));
    RUVO_LOG("%s: dwPrintDotsCount=%llu", n, static_cast<unsigned long long>(entry.dwPrintDotsCount));
    RUVO_LOG("%s: dwPrinterNumOfPages=%llu", n, static_cast<unsigned long long>(entry.dwPrinterNumOfPages));
    RUVO_LOG("%s: dwPrinterNumOfPrint=%llu", n, static_cast<unsigned long long>(entry.dwPrinterNumOfPrint));
}

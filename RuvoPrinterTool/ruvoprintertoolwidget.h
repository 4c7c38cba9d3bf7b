#pragma once
// The tray application's main window: the printer table, the tray icon and its
// menu, and the owner of the shared printer list and of every worker thread.
#include "DesktopTrayRules.h"
#include "PrinterManager.h"

#include <QList>
#include <QSystemTrayIcon>
#include <QWidget>

class AppSetting;
class DesktopNotifier;
class StatusNotifierItem;
class QTimer;
class QAction;
class QMenu;
class QTableWidget;
class QThread;
class TrdDeviceManage;
class TrdGetPrinterStatus;

class RuvoPrinterToolWidget : public QWidget
{
    Q_OBJECT
public:
    explicit RuvoPrinterToolWidget(QWidget *parent = nullptr);
    ~RuvoPrinterToolWidget() override;

    // What the desktop offers changed (the D-Bus and X11 edges call this): shows
    // or hides the XEmbed icon and, with no tray at all, keeps the window
    // reachable.
    void ApplyTrayPresence(const stTrayPresence &presence);
    bool IsTrayReachable() const { return m_trayChoice.bTrayReachable; }

    void ChmodVendorPath(const QString &path);
    void ChmodFile(const QString &path);
    void CleanTempFile();

signals:
    void SgnManageThreadStart();
    void SgnStatusThreadStart();
    void SgnThreadQuit();

public slots:
    void SlotActivatedTrayIcon(QSystemTrayIcon::ActivationReason reason);
    void SlotTrayActionShow();
    void SlotTrayActionUpdateFW();
    void SlotTrayActionSetting();
    void SlotTrayActionExit();
    void SlotUpdatePrinterStatus(int index);
    void SlotUpdatePrinterList();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void InitLog();
    void InitConfig();
    void InitLanguage();
    void InitDeviceTable();
    void InitTrayIcon();
    void InitThread();
    void MakeXEmbedIcon();
    void FollowDesktop();
    void ShowAlert(const stAlert &alert);
    void ShowBalloon(const stAlert &alert);
    void OnNoTraySettled();
    void StartStatusWorkers(int count);
    void DebugOutputPrinterInfo();
    void DebugOutputPrinterStatus(int index);

    QTableWidget *m_tableDeviceManage = nullptr;
    QSystemTrayIcon *m_trayIcon = nullptr; // the XEmbed icon, made only while no watcher is on the bus
    StatusNotifierItem *m_statusItem = nullptr;
    DesktopNotifier *m_notifier = nullptr;
    stTrayChoice m_trayChoice;
    stTrayPresence m_observedPresence;
    bool m_bPresenceObserved = false;
    bool m_bShownForNoTray = false;
    bool m_bQuitting = false;
    QTimer *m_noTrayTimer = nullptr;
    QTimer *m_xembedPoll = nullptr;
    QMenu *m_trayMenu = nullptr;
    QAction *m_actionShow = nullptr;
    QAction *m_actionUpdateFW = nullptr;
    QAction *m_actionSetting = nullptr;
    QAction *m_actionExit = nullptr;
    AppSetting *m_appSetting = nullptr;
    int m_iLanguage = 1;

    // Owned; left to workers that outlive the window (see the destructor).
    stSharedPrinterList *m_sharedList = nullptr;
    TrdDeviceManage *m_trdDeviceManage = nullptr;
    QThread *m_threadDeviceManage = nullptr;
    QList<TrdGetPrinterStatus *> m_listStatusWorker;
    QList<QThread *> m_listStatusThread;
    int m_iStatusThreadCount = 0;
};

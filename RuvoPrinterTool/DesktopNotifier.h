#pragma once
// Alerts through the desktop's notification service
// (org.freedesktop.Notifications). Calls are asynchronous: a service that
// hangs delays its alerts, never the window. A printer's new alert replaces
// its previous one; a click on an alert (its "default" action) is reported.
#include "DesktopTrayRules.h"

#include <QDBusConnection>
#include <QImage>
#include <QObject>

class QDBusServiceWatcher;

class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    DesktopNotifier(const QString &appName, const QString &desktopEntry, const QImage &icon,
                    const QDBusConnection &connection, QObject *parent = nullptr);

    // A service owns the name, or the bus can start one.
    bool IsAvailable() const { return m_bOwned || m_bActivatable; }
    // Sends the alert, or keeps it until the printer's previous call is answered.
    void Show(const stAlert &alert);

signals:
    void AlertClicked();
    // The service refused or did not answer: the caller may show it otherwise.
    void AlertFailed(const stAlert &alert);

private slots:
    void OnActionInvoked(uint id, const QString &action);

private:
    void Send(const AlertBook::stSend &send);

    QDBusConnection m_connection;
    QString m_strAppName;
    QString m_strDesktopEntry;
    QVariant m_imageData;
    bool m_bOwned = false;
    bool m_bActivatable = false;
    quint64 m_uGeneration = 0; // answers from an earlier owner are dropped
    AlertBook m_book;
    QDBusServiceWatcher *m_watcher = nullptr;
};

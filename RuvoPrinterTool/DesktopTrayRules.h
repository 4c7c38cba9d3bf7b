#pragma once
// Decisions about where the tray icon and the alerts go on the user's desktop,
// as pure functions over what the session offers. The D-Bus and X11 edges feed
// them; tests reach them without a bus or a display.
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <optional>

// What the session offers right now.
struct stTrayPresence {
    bool bWatcherOnBus = false;     // org.kde.StatusNotifierWatcher has an owner
    bool bHostRegistered = false;   // ...and it reports a host that shows items
    bool bXEmbedTray = false;       // an X11 tray owns the system tray selection
    bool bXEmbedIconMade = false;   // the XEmbed icon object exists already
};

// The item itself is always offered to whichever watcher is on the bus.
struct stTrayChoice {
    bool bXEmbedIcon = false;       // show the XEmbed icon
    bool bTrayReachable = false;    // the user can reach the program from a tray
};

// A host that shows items wins over an XEmbed tray, so a panel offering both
// (or an XEmbed-to-item bridge) never shows the icon twice. The XEmbed icon is
// made only while no watcher is on the bus: Qt asks the watcher, blocking, when
// its first tray icon is made, and a watcher may hang.
stTrayChoice ChooseTray(const stTrayPresence &presence);

// The icon as the item protocol carries it: 32-bit ARGB, big-endian bytes.
QByteArray ArgbToNetworkOrder(const quint32 *pixels, int count);

enum class enAlertUrgency { Normal = 1, Critical = 2 };

struct stAlert {
    QString strPrinter;   // the summary
    QString strText;      // the body, a catalogue text
    enAlertUrgency enUrgency = enAlertUrgency::Normal;
};

// The hints of one alert: urgency as a byte, the menu entry that names the
// program, and the icon when the caller has one as image data.
QVariantMap AlertHints(const stAlert &alert, const QString &desktopEntry);

// One printer's alerts toward the notification service: a new alert replaces
// the printer's previous one (its id goes into the call), also once that one
// has expired, so a desktop's list of past alerts holds one per printer. While
// a call is on its way the newest alert waits, so two answers never race for
// one id.
class AlertBook
{
public:
    struct stSend {
        stAlert alert;
        quint32 uReplacesId = 0;
    };
    // A new alert; returns what to send now, or nothing when it has to wait.
    std::optional<stSend> Post(const stAlert &alert);
    // The service answered the printer's call with `id` (0 when it failed);
    // returns the alert that waited, if any.
    std::optional<stSend> Answered(const QString &printer, quint32 id);
    // True when `id` is the current alert of some printer.
    bool IsOurs(quint32 id) const;
    // The service left the bus: every id is forgotten, nothing is on its way.
    void Reset();

private:
    struct stPrinterAlerts {
        quint32 uId = 0;
        bool bInFlight = false;
        std::optional<stAlert> waiting;
    };
    QHash<QString, stPrinterAlerts> m_printers;
};

#pragma once
// The tray icon as a StatusNotifierItem on the session bus: our own item over
// QtDBus, its menu exported by libdbusmenu-qt5. It follows the watcher
// (org.kde.StatusNotifierWatcher): registers with every new owner, so the icon
// comes back after a panel restart and appears when the panel starts after us.
// Every call to a peer is asynchronous, so a watcher that hangs never holds up
// the window.
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>

class DBusMenuExporter;
class QDBusServiceWatcher;
class QMenu;

struct stItemPixmap {
    int iWidth = 0;
    int iHeight = 0;
    QByteArray bytes; // ARGB32, big-endian
};
using ItemPixmapList = QList<stItemPixmap>;

struct stItemToolTip {
    QString strIconName;
    ItemPixmapList pixmaps;
    QString strTitle;
    QString strDescription;
};

Q_DECLARE_METATYPE(stItemPixmap)
Q_DECLARE_METATYPE(ItemPixmapList)
Q_DECLARE_METATYPE(stItemToolTip)

QDBusArgument &operator<<(QDBusArgument &argument, const stItemPixmap &pixmap);
const QDBusArgument &operator>>(const QDBusArgument &argument, stItemPixmap &pixmap);
QDBusArgument &operator<<(QDBusArgument &argument, const stItemToolTip &toolTip);
const QDBusArgument &operator>>(const QDBusArgument &argument, stItemToolTip &toolTip);

// The icon at the sizes panels ask for most.
ItemPixmapList ItemPixmaps(const QImage &image);

class StatusNotifierItem : public QObject
{
    Q_OBJECT
public:
    // `menu` stays the caller's; its actions are the ones a host's menu triggers.
    StatusNotifierItem(const QString &id, const QString &title, const QImage &icon, QMenu *menu,
                       const QDBusConnection &connection, QObject *parent = nullptr);
    ~StatusNotifierItem() override;

    QString ServiceName() const { return m_strServiceName; }
    bool IsWatcherOnBus() const { return !m_strWatcherOwner.isEmpty(); }
    bool IsHostRegistered() const { return IsWatcherOnBus() && m_bHostRegistered; }
    // True once the current watcher has accepted our item.
    bool IsRegistered() const { return m_bRegistered; }
    // Leaves the bus: the watcher drops the item when our name goes.
    void Withdraw();

signals:
    void PresenceChanged();
    void Activated();

private slots:
    void OnWatcherOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);
    void OnHostRegistered();
    void OnHostUnregistered();

private:
    friend class StatusNotifierItemAdaptor;
    void RequestServiceName();
    void FollowWatcher(const QString &owner);
    void RegisterWithWatcher(int attempt = 0);
    void ReadHostRegistered();

    // What the item's adaptor reads.
    QString m_strId;
    QString m_strTitle;
    ItemPixmapList m_pixmaps;
    QMenu *m_menu = nullptr;

    QDBusConnection m_connection;
    QString m_strServiceName;
    bool m_bNameOwned = false;
    bool m_bRegistered = false;
    bool m_bHostRegistered = false;
    bool m_bWithdrawn = false;
    QString m_strWatcherOwner;
    quint64 m_uWatcherGeneration = 0; // answers of an earlier owner are dropped
    QDBusServiceWatcher *m_watcher = nullptr;
    DBusMenuExporter *m_menuExporter = nullptr;
};

class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ Category)
    Q_PROPERTY(QString Id READ Id)
    Q_PROPERTY(QString Title READ Title)
    Q_PROPERTY(QString Status READ Status)
    Q_PROPERTY(int WindowId READ WindowId)
    Q_PROPERTY(QString IconName READ IconName)
    Q_PROPERTY(ItemPixmapList IconPixmap READ IconPixmap)
    Q_PROPERTY(QString OverlayIconName READ EmptyName)
    Q_PROPERTY(ItemPixmapList OverlayIconPixmap READ NoPixmaps)
    Q_PROPERTY(QString AttentionIconName READ EmptyName)
    Q_PROPERTY(ItemPixmapList AttentionIconPixmap READ NoPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ EmptyName)
    Q_PROPERTY(stItemToolTip ToolTip READ ToolTip)
    Q_PROPERTY(QString IconThemePath READ EmptyName)
    Q_PROPERTY(bool ItemIsMenu READ ItemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ Menu)
public:
    explicit StatusNotifierItemAdaptor(StatusNotifierItem *item);

    QString Category() const { return QStringLiteral("Hardware"); }
    QString Id() const { return m_item->m_strId; }
    QString Title() const { return m_item->m_strTitle; }
    QString Status() const { return QStringLiteral("Active"); }
    int WindowId() const { return 0; }
    QString IconName() const { return QString(); }
    ItemPixmapList IconPixmap() const { return m_item->m_pixmaps; }
    QString EmptyName() const { return QString(); }
    ItemPixmapList NoPixmaps() const { return {}; }
    stItemToolTip ToolTip() const;
    bool ItemIsMenu() const { return false; }
    QDBusObjectPath Menu() const { return QDBusObjectPath(QStringLiteral("/MenuBar")); }

public slots:
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void ContextMenu(int x, int y);
    void Scroll(int delta, const QString &orientation);

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString &status);

private:
    StatusNotifierItem *m_item;
};

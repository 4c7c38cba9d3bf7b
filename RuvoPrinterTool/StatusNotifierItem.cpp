#include "StatusNotifierItem.h"

#include "DesktopTrayRules.h"

#include <dbusmenuexporter.h>

#include <QCoreApplication>
#include <QCursor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QMenu>
#include <QTimer>

namespace {
const char c_szWatcherService[] = "org.kde.StatusNotifierWatcher";
const char c_szWatcherPath[] = "/StatusNotifierWatcher";
const char c_szItemPath[] = "/StatusNotifierItem";
const char c_szMenuPath[] = "/MenuBar";
const char c_szBusService[] = "org.freedesktop.DBus";
const char c_szBusPath[] = "/org/freedesktop/DBus";
// A watcher that does not answer within this is treated as absent until its
// owner changes; the window never waits for it.
constexpr int c_iCallTimeoutMs = 5000;
constexpr int c_iRegisterAttempts = 8;
constexpr int c_iRegisterRetryMs = 250;

QDBusMessage BusCall(const QString &method)
{
    return QDBusMessage::createMethodCall(c_szBusService, c_szBusPath, c_szBusService, method);
}

// Calls asynchronously; `done` runs on the GUI thread with the reply, unless
// `context` is gone by then.
template <typename Done>
void CallLater(const QDBusConnection &connection, const QDBusMessage &message, QObject *context, Done done)
{
    auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(message, c_iCallTimeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done]() {
        watcher->deleteLater();
        done(watcher->reply());
    });
}
} // namespace

QDBusArgument &operator<<(QDBusArgument &argument, const stItemPixmap &pixmap)
{
    argument.beginStructure();
    argument << pixmap.iWidth << pixmap.iHeight << pixmap.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, stItemPixmap &pixmap)
{
    argument.beginStructure();
    argument >> pixmap.iWidth >> pixmap.iHeight >> pixmap.bytes;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const stItemToolTip &toolTip)
{
    argument.beginStructure();
    argument << toolTip.strIconName << toolTip.pixmaps << toolTip.strTitle << toolTip.strDescription;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, stItemToolTip &toolTip)
{
    argument.beginStructure();
    argument >> toolTip.strIconName >> toolTip.pixmaps >> toolTip.strTitle >> toolTip.strDescription;
    argument.endStructure();
    return argument;
}

ItemPixmapList ItemPixmaps(const QImage &image)
{
    ItemPixmapList list;
    if (image.isNull())
        return list;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        const QImage scaled = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                  .convertToFormat(QImage::Format_ARGB32);
        stItemPixmap pixmap;
        pixmap.iWidth = scaled.width();
        pixmap.iHeight = scaled.height();
        for (int y = 0; y < scaled.height(); ++y)
            pixmap.bytes += ArgbToNetworkOrder(reinterpret_cast<const quint32 *>(scaled.constScanLine(y)),
                                               scaled.width());
        list.append(pixmap);
    }
    return list;
}

StatusNotifierItem::StatusNotifierItem(const QString &id, const QString &title, const QImage &icon, QMenu *menu,
                                       const QDBusConnection &connection, QObject *parent)
    : QObject(parent), m_strId(id), m_strTitle(title), m_pixmaps(ItemPixmaps(icon)), m_menu(menu),
      m_connection(connection)
{
    qDBusRegisterMetaType<stItemPixmap>();
    qDBusRegisterMetaType<ItemPixmapList>();
    qDBusRegisterMetaType<stItemToolTip>();
    if (!m_connection.isConnected())
        return; // no session bus: the XEmbed icon is all there is

    m_strServiceName = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(QCoreApplication::applicationPid());
    new StatusNotifierItemAdaptor(this);
    m_connection.registerObject(c_szItemPath, this, QDBusConnection::ExportAdaptors);
    m_menuExporter = new DBusMenuExporter(c_szMenuPath, m_menu, m_connection);

    m_watcher = new QDBusServiceWatcher(c_szWatcherService, m_connection, QDBusServiceWatcher::WatchForOwnerChange,
                                        this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &StatusNotifierItem::OnWatcherOwnerChanged);
    // Delivered for whoever owns the watcher's name at the time.
    m_connection.connect(c_szWatcherService, c_szWatcherPath, c_szWatcherService,
                         QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(OnHostRegistered()));
    m_connection.connect(c_szWatcherService, c_szWatcherPath, c_szWatcherService,
                         QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(OnHostUnregistered()));
    RequestServiceName();
    // Asked of the bus itself, which answers at once: the caller decides from
    // this, before its first tray icon, whether a watcher is there.
    if (QDBusConnectionInterface *bus = m_connection.interface()) {
        const QDBusReply<QString> owner = bus->serviceOwner(QString::fromLatin1(c_szWatcherService));
        if (owner.isValid())
            FollowWatcher(owner.value());
    }
}

StatusNotifierItem::~StatusNotifierItem()
{
    delete m_menuExporter;
}

void StatusNotifierItem::Withdraw()
{
    if (m_bWithdrawn || !m_connection.isConnected())
        return;
    m_bWithdrawn = true;
    m_connection.unregisterObject(c_szItemPath);
    QDBusMessage release = BusCall(QStringLiteral("ReleaseName"));
    release << m_strServiceName;
    m_connection.call(release, QDBus::NoBlock);
}

void StatusNotifierItem::RequestServiceName()
{
    QDBusMessage request = BusCall(QStringLiteral("RequestName"));
    request << m_strServiceName << uint(4); // do not queue behind another owner
    CallLater(m_connection, request, this, [this](const QDBusMessage &reply) {
        // 1: we are the primary owner now.
        m_bNameOwned = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                       && reply.arguments().first().toUInt() == 1;
        if (m_bNameOwned)
            RegisterWithWatcher();
    });
}

void StatusNotifierItem::OnWatcherOwnerChanged(const QString &, const QString &, const QString &newOwner)
{
    FollowWatcher(newOwner);
}

void StatusNotifierItem::FollowWatcher(const QString &owner)
{
    if (owner == m_strWatcherOwner)
        return;
    ++m_uWatcherGeneration;
    m_strWatcherOwner = owner;
    m_bRegistered = false;
    m_bHostRegistered = false;
    if (!owner.isEmpty()) {
        RegisterWithWatcher();
        ReadHostRegistered();
    }
    emit PresenceChanged();
}

void StatusNotifierItem::RegisterWithWatcher(int attempt)
{
    if (m_bWithdrawn || !m_bNameOwned || m_strWatcherOwner.isEmpty() || m_bRegistered)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(m_strWatcherOwner, c_szWatcherPath, c_szWatcherService,
                                                       QStringLiteral("RegisterStatusNotifierItem"));
    call << m_strServiceName;
    const quint64 generation = m_uWatcherGeneration;
    CallLater(m_connection, call, this, [this, generation, attempt](const QDBusMessage &reply) {
        if (generation != m_uWatcherGeneration)
            return;
        m_bRegistered = reply.type() == QDBusMessage::ReplyMessage;
        if (m_bRegistered) {
            ReadHostRegistered();
            emit PresenceChanged();
        } else if (attempt < c_iRegisterAttempts) {
            // A watcher may take its name a moment before it serves its object.
            QTimer::singleShot(c_iRegisterRetryMs * (attempt + 1), this, [this, generation, attempt]() {
                if (generation == m_uWatcherGeneration)
                    RegisterWithWatcher(attempt + 1);
            });
        }
    });
}

void StatusNotifierItem::ReadHostRegistered()
{
    if (m_strWatcherOwner.isEmpty())
        return;
    QDBusMessage get = QDBusMessage::createMethodCall(m_strWatcherOwner, c_szWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << QString::fromLatin1(c_szWatcherService) << QStringLiteral("IsStatusNotifierHostRegistered");
    const quint64 generation = m_uWatcherGeneration;
    CallLater(m_connection, get, this, [this, generation](const QDBusMessage &reply) {
        if (generation != m_uWatcherGeneration || reply.type() != QDBusMessage::ReplyMessage
            || reply.arguments().isEmpty())
            return;
        const bool registered = reply.arguments().first().value<QDBusVariant>().variant().toBool();
        if (registered != m_bHostRegistered) {
            m_bHostRegistered = registered;
            emit PresenceChanged();
        }
    });
}

void StatusNotifierItem::OnHostRegistered()
{
    RegisterWithWatcher();
    if (!m_bHostRegistered && !m_strWatcherOwner.isEmpty()) {
        m_bHostRegistered = true;
        emit PresenceChanged();
    }
}

void StatusNotifierItem::OnHostUnregistered()
{
    // Another host may remain: the watcher knows.
    ReadHostRegistered();
}

StatusNotifierItemAdaptor::StatusNotifierItemAdaptor(StatusNotifierItem *item)
    : QDBusAbstractAdaptor(item), m_item(item)
{
    setAutoRelaySignals(false);
}

stItemToolTip StatusNotifierItemAdaptor::ToolTip() const
{
    stItemToolTip toolTip;
    toolTip.strTitle = m_item->m_strTitle;
    return toolTip;
}

void StatusNotifierItemAdaptor::Activate(int, int)
{
    emit m_item->Activated();
}

void StatusNotifierItemAdaptor::SecondaryActivate(int, int)
{
    // A middle click does nothing, as on the XEmbed icon.
}

void StatusNotifierItemAdaptor::ContextMenu(int x, int y)
{
    // Hosts that do not read the exported menu ask us to show it.
    if (QMenu *menu = m_item->m_menu)
        QMetaObject::invokeMethod(menu, [menu, x, y]() { menu->popup(QPoint(x, y)); }, Qt::QueuedConnection);
}

void StatusNotifierItemAdaptor::Scroll(int, const QString &)
{
}

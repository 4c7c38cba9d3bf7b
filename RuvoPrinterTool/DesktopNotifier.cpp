#include "DesktopNotifier.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

namespace {
const char c_szService[] = "org.freedesktop.Notifications";
const char c_szPath[] = "/org/freedesktop/Notifications";
constexpr int c_iCallTimeoutMs = 5000;
constexpr int c_iShownMs = 3000;

// The "image-data" hint: width, height, row stride, alpha, bits per sample,
// channels, RGBA bytes.
struct stImageData {
    int iWidth = 0;
    int iHeight = 0;
    int iRowStride = 0;
    bool bAlpha = true;
    int iBitsPerSample = 8;
    int iChannels = 4;
    QByteArray bytes;
};
} // namespace
Q_DECLARE_METATYPE(stImageData)

namespace {
QDBusArgument &operator<<(QDBusArgument &argument, const stImageData &image)
{
    argument.beginStructure();
    argument << image.iWidth << image.iHeight << image.iRowStride << image.bAlpha << image.iBitsPerSample
             << image.iChannels << image.bytes;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, stImageData &image)
{
    argument.beginStructure();
    argument >> image.iWidth >> image.iHeight >> image.iRowStride >> image.bAlpha >> image.iBitsPerSample
        >> image.iChannels >> image.bytes;
    argument.endStructure();
    return argument;
}

QVariant ImageData(const QImage &icon)
{
    if (icon.isNull())
        return {};
    const QImage rgba = icon.scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                            .convertToFormat(QImage::Format_RGBA8888);
    stImageData image;
    image.iWidth = rgba.width();
    image.iHeight = rgba.height();
    image.iRowStride = int(rgba.bytesPerLine());
    image.bytes = QByteArray(reinterpret_cast<const char *>(rgba.constBits()), int(rgba.sizeInBytes()));
    return QVariant::fromValue(image);
}

QDBusMessage BusCall(const QString &method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                          QStringLiteral("org.freedesktop.DBus"), method);
}

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

DesktopNotifier::DesktopNotifier(const QString &appName, const QString &desktopEntry, const QImage &icon,
                                 const QDBusConnection &connection, QObject *parent)
    : QObject(parent), m_connection(connection), m_strAppName(appName), m_strDesktopEntry(desktopEntry)
{
    qDBusRegisterMetaType<stImageData>();
    m_imageData = ImageData(icon);
    if (!m_connection.isConnected())
        return;
    m_watcher = new QDBusServiceWatcher(c_szService, m_connection, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                ++m_uGeneration;
                m_bOwned = !newOwner.isEmpty();
                m_book.Reset(); // a new service knows none of our ids
            });
    m_connection.connect(c_szService, c_szPath, c_szService, QStringLiteral("ActionInvoked"), this,
                         SLOT(OnActionInvoked(uint, QString)));

    QDBusMessage owner = BusCall(QStringLiteral("NameHasOwner"));
    owner << QString::fromLatin1(c_szService);
    const quint64 generation = m_uGeneration;
    CallLater(m_connection, owner, this, [this, generation](const QDBusMessage &reply) {
        if (generation == m_uGeneration && reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            m_bOwned = reply.arguments().first().toBool();
    });
    // Many desktops start their service on the first alert.
    CallLater(m_connection, BusCall(QStringLiteral("ListActivatableNames")), this, [this](const QDBusMessage &reply) {
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            m_bActivatable = reply.arguments().first().toStringList().contains(QString::fromLatin1(c_szService));
    });
}

void DesktopNotifier::Show(const stAlert &alert)
{
    if (const auto send = m_book.Post(alert))
        Send(*send);
}

void DesktopNotifier::Send(const AlertBook::stSend &send)
{
    QVariantMap hints = AlertHints(send.alert, m_strDesktopEntry);
    if (m_imageData.isValid())
        hints.insert(QStringLiteral("image-data"), m_imageData);
    QDBusMessage notify = QDBusMessage::createMethodCall(c_szService, c_szPath, c_szService, QStringLiteral("Notify"));
    notify << m_strAppName << uint(send.uReplacesId) << m_strDesktopEntry << send.alert.strPrinter
           << send.alert.strText << QStringList{QStringLiteral("default"), QStringLiteral("显示主界面")} << hints
           << int(c_iShownMs);
    const quint64 generation = m_uGeneration;
    const stAlert alert = send.alert;
    CallLater(m_connection, notify, this, [this, generation, alert](const QDBusMessage &reply) {
        if (generation != m_uGeneration)
            return; // the book was reset with the service
        const bool ok = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
        const quint32 id = ok ? reply.arguments().first().toUInt() : 0;
        if (!ok)
            emit AlertFailed(alert);
        if (const auto next = m_book.Answered(alert.strPrinter, id))
            Send(*next);
    });
}

void DesktopNotifier::OnActionInvoked(uint id, const QString &action)
{
    if (action == QLatin1String("default") && m_book.IsOurs(id))
        emit AlertClicked();
}

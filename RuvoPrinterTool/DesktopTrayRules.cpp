#include "DesktopTrayRules.h"

stTrayChoice ChooseTray(const stTrayPresence &presence)
{
    stTrayChoice choice;
    const bool itemShown = presence.bWatcherOnBus && presence.bHostRegistered;
    choice.bXEmbedIcon = presence.bXEmbedTray && !itemShown
                         && (presence.bXEmbedIconMade || !presence.bWatcherOnBus);
    choice.bTrayReachable = itemShown || choice.bXEmbedIcon;
    return choice;
}

QByteArray ArgbToNetworkOrder(const quint32 *pixels, int count)
{
    QByteArray bytes;
    bytes.reserve(count * 4);
    for (int i = 0; i < count; ++i) {
        const quint32 p = pixels[i];
        bytes.append(char(p >> 24)).append(char(p >> 16)).append(char(p >> 8)).append(char(p));
    }
    return bytes;
}

QVariantMap AlertHints(const stAlert &alert, const QString &desktopEntry)
{
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(alert.enUrgency)));
    if (!desktopEntry.isEmpty())
        hints.insert(QStringLiteral("desktop-entry"), desktopEntry);
    return hints;
}

std::optional<AlertBook::stSend> AlertBook::Post(const stAlert &alert)
{
    stPrinterAlerts &printer = m_printers[alert.strPrinter];
    if (printer.bInFlight) {
        printer.waiting = alert; // only the newest state matters
        return std::nullopt;
    }
    printer.bInFlight = true;
    return stSend{alert, printer.uId};
}

std::optional<AlertBook::stSend> AlertBook::Answered(const QString &printer, quint32 id)
{
    auto found = m_printers.find(printer);
    if (found == m_printers.end() || !found->bInFlight)
        return std::nullopt;
    found->uId = id;
    found->bInFlight = false;
    if (!found->waiting)
        return std::nullopt;
    const stAlert next = *found->waiting;
    found->waiting.reset();
    found->bInFlight = true;
    return stSend{next, found->uId};
}

bool AlertBook::IsOurs(quint32 id) const
{
    if (id == 0)
        return false;
    for (const stPrinterAlerts &printer : m_printers) {
        if (printer.uId == id)
            return true;
    }
    return false;
}

void AlertBook::Reset()
{
    m_printers.clear();
}

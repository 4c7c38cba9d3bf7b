#include "FleetScenario.h"

#include "ModelTable.h"
#include "StatusReplyEncoder.h"

#include <QMap>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

const QMap<QString, quint8> &StatusNames()
{
    static const QMap<QString, quint8> names = {
        {"ready", 0x00},    {"initialize", 0x01}, {"busy", 0x02},    {"canceling", 0x03},
        {"printing", 0x10}, {"scanning", 0x11},   {"copying", 0x12}, {"reporting", 0x13},
    };
    return names;
}

bool ParseNumber(const QString &text, quint64 limit, quint64 &value)
{
    bool ok = false;
    const quint64 parsed = text.startsWith("0x", Qt::CaseInsensitive) ? text.mid(2).toULongLong(&ok, 16)
                                                                      : text.toULongLong(&ok, 10);
    if (!ok || parsed > limit)
        return false;
    value = parsed;
    return true;
}

bool ParseCodes(const QString &text, QList<quint16> &codes)
{
    codes.clear();
    if (text == "none")
        return true;
    for (const QString &part : text.split(',')) {
        quint64 value = 0;
        if (!ParseNumber(part, 0xFFFF, value))
            return false;
        codes.append(static_cast<quint16>(value));
    }
    return codes.size() <= 255;
}

bool ParseSeconds(const QString &text, qint64 &milliseconds)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    // A day is far beyond any scenario; the bound keeps the conversion exact.
    if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > 86400)
        return false;
    milliseconds = static_cast<qint64>(std::llround(seconds * 1000.0));
    return true;
}

// name usb|net model port
bool ParsePrinter(const QStringList &words, int first, stSimPrinter &printer, QString &reason)
{
    if (words.size() != first + 4) {
        reason = "expected: <name> usb|net <model code> <port>";
        return false;
    }
    printer = stSimPrinter();
    printer.strName = words[first];
    if (printer.strName.contains('/') || printer.strName == "." || printer.strName == "..") {
        reason = "a printer name cannot hold '/'";
        return false;
    }
    const QString kind = words[first + 1];
    if (kind != "usb" && kind != "net") {
        reason = "connection must be usb or net";
        return false;
    }
    printer.iConnectType = kind == "usb" ? c_iConnectTypeUsb : c_iConnectTypeNetwork;
    printer.strModel = "Ruvo " + words[first + 2];
    printer.strPort = words[first + 3];
    return true;
}

bool ParseSet(const QStringList &words, int first, stSimEvent &event, QString &reason)
{
    if (words.size() <= first) {
        reason = "set needs at least one key=value";
        return false;
    }
    for (int i = first; i < words.size(); ++i) {
        const int equals = words[i].indexOf('=');
        const QString key = words[i].left(equals);
        const QString value = words[i].mid(equals + 1);
        quint64 number = 0;
        QList<quint16> codes;
        if (equals <= 0) {
            reason = "expected key=value, got " + words[i];
            return false;
        } else if (key == "status") {
            if (StatusNames().contains(value))
                event.status = StatusNames().value(value);
            else if (ParseNumber(value, 0xFF, number))
                event.status = static_cast<quint8>(number);
            else {
                reason = "unknown status " + value;
                return false;
            }
        } else if (key == "toner" && ParseNumber(value, 10000, number)) {
            event.toner = number;
        } else if (key == "pages" && ParseNumber(value, 0xFFFFFFFFu, number)) {
            event.pages = number;
        } else if (key == "errors" && ParseCodes(value, codes)) {
            event.errors = codes;
        } else if (key == "warnings" && ParseCodes(value, codes)) {
            event.warnings = codes;
        } else {
            reason = "bad setting " + words[i];
            return false;
        }
    }
    return true;
}

stSimPrinter *Find(QList<stSimPrinter> &fleet, const QString &name)
{
    for (stSimPrinter &printer : fleet) {
        if (printer.strName == name)
            return &printer;
    }
    return nullptr;
}

void AppendText(QByteArray &out, const QString &key, const QString &value)
{
    // Quoted, so commas, semicolons and '=' stay part of the value.
    QString escaped = value;
    escaped.replace('\\', "\\\\").replace('"', "\\\"");
    out += key.toUtf8() + "=\"" + escaped.toUtf8() + "\"\n";
}

} // namespace

std::optional<stScenario> ParseScenario(const QString &text, QString *error)
{
    stScenario scenario;
    const QStringList lines = text.split('\n');
    for (int lineNumber = 1; lineNumber <= lines.size(); ++lineNumber) {
        QString line = lines[lineNumber - 1];
        const int hash = line.indexOf('#');
        if (hash >= 0)
            line.truncate(hash);
        const QStringList words = line.simplified().split(' ', Qt::SkipEmptyParts);
        if (words.isEmpty())
            continue;
        QString reason;
        bool ok = true;
        if (words[0] == "printer") {
            stSimPrinter printer;
            ok = ParsePrinter(words, 1, printer, reason);
            if (ok && std::any_of(scenario.listInitial.begin(), scenario.listInitial.end(),
                                  [&](const stSimPrinter &p) { return p.strName == printer.strName; })) {
                ok = false;
                reason = "printer listed twice";
            }
            if (ok)
                scenario.listInitial.append(printer);
        } else if (words[0] == "repeat" && words.size() == 2) {
            ok = ParseSeconds(words[1], scenario.iRepeatMs) && scenario.iRepeatMs > 0;
            if (!ok)
                reason = "repeat needs a time above 0 seconds";
        } else if (words[0] == "at" && words.size() >= 4) {
            stSimEvent event;
            const QString verb = words[2];
            event.strName = words[3];
            if (!ParseSeconds(words[1], event.iAtMs)) {
                ok = false;
                reason = "bad time " + words[1];
            } else if (verb == "add") {
                event.enKind = enSimEventKind::Add;
                ok = ParsePrinter(words, 3, event.stAdded, reason);
            } else if (verb == "remove" || verb == "offline" || verb == "online") {
                event.enKind = verb == "remove" ? enSimEventKind::Remove
                             : verb == "offline" ? enSimEventKind::Offline : enSimEventKind::Online;
                ok = words.size() == 4;
                if (!ok)
                    reason = verb + " takes only a printer name";
            } else if (verb == "set") {
                event.enKind = enSimEventKind::Set;
                ok = ParseSet(words, 4, event, reason);
            } else {
                ok = false;
                reason = "unknown action " + verb;
            }
            if (ok)
                scenario.listEvents.append(event);
        } else {
            ok = false;
            reason = "unknown statement " + words[0];
        }
        if (!ok) {
            if (error)
                *error = QString("line %1: %2").arg(lineNumber).arg(reason);
            return std::nullopt;
        }
    }
    std::stable_sort(scenario.listEvents.begin(), scenario.listEvents.end(),
                     [](const stSimEvent &a, const stSimEvent &b) { return a.iAtMs < b.iAtMs; });
    return scenario;
}

void ApplyEvent(QList<stSimPrinter> &fleet, const stSimEvent &event)
{
    stSimPrinter *printer = Find(fleet, event.strName);
    switch (event.enKind) {
    case enSimEventKind::Add:
        if (printer == nullptr)
            fleet.append(event.stAdded);
        return;
    case enSimEventKind::Remove:
        fleet.erase(std::remove_if(fleet.begin(), fleet.end(),
                                   [&](const stSimPrinter &p) { return p.strName == event.strName; }),
                    fleet.end());
        return;
    case enSimEventKind::Offline:
    case enSimEventKind::Online:
        if (printer)
            printer->bOnline = event.enKind == enSimEventKind::Online;
        return;
    case enSimEventKind::Set:
        if (printer == nullptr)
            return;
        if (event.status)
            printer->ucStatus = *event.status;
        if (event.toner)
            printer->dwToner = *event.toner;
        if (event.errors)
            printer->listErrors = *event.errors;
        if (event.warnings)
            printer->listWarnings = *event.warnings;
        if (event.pages)
            printer->dwPages = *event.pages;
        return;
    }
}

QString SimPrinterUri(const stSimPrinter &printer)
{
    const QString code = printer.strModel.section(' ', 1);
    if (IsUsbConnection(printer.iConnectType))
        return "usb://Ruvo/" + code + "?" + printer.strPort;
    return "socket://" + printer.strPort + ":9100";
}

QByteArray BuildPrinterListIni(const QList<stSimPrinter> &fleet)
{
    QByteArray out = "[Main]\nCount=" + QByteArray::number(fleet.size()) + "\n";
    for (int i = 0; i < fleet.size(); ++i) {
        out += "\n[printer_" + QByteArray::number(i) + "]\n";
        AppendText(out, "Name", fleet[i].strName);
        AppendText(out, "Model", fleet[i].strModel);
        out += "ConnectType=" + QByteArray::number(fleet[i].iConnectType) + "\n";
        AppendText(out, "Port", fleet[i].strPort);
        AppendText(out, "URI", SimPrinterUri(fleet[i]));
    }
    return out;
}

QByteArray BuildSimStatusReply(const stSimPrinter &printer)
{
    stStatusReply reply;
    reply.header = QByteArray("RUVOST\x01", 7);
    reply.vendorName = "Ruvo";
    reply.productName = printer.strModel.toUtf8();
    const int serial = printer.strPort.indexOf("serial=");
    reply.serialNumber = serial >= 0 ? printer.strPort.mid(serial + 7).toUtf8()
                                     : ("N" + printer.strName).toUtf8();
    reply.statusByte = printer.ucStatus;
    reply.firmwareVersion = "V1.0.3";
    reply.errorCodes = printer.listErrors;
    reply.warningCodes = printer.listWarnings;
    reply.supplies.append(stStatusSupply{0x0000, ("TC-" + printer.strName).toUtf8().left(64)});
    reply.supplies.append(NumberSupply(0x0001, 1, 4));
    reply.supplies.append(NumberSupply(0x1000, printer.dwToner, 2));
    reply.supplies.append(NumberSupply(0x1003, printer.dwPages, 4));
    reply.supplies.append(NumberSupply(0x1101, printer.dwPages, 4));
    return EncodeStatusReply(reply);
}

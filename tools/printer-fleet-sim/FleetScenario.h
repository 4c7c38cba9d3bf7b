#pragma once
// A simulated printer fleet and its timeline: which printers the printer list
// names, and what each one's status reply says at any moment.
//
// Scenario text, one statement per line ('#' starts a comment):
//   printer <name> usb|net <model code> <port>   listed from the start
//   at <seconds> add <name> usb|net <model code> <port>
//   at <seconds> remove <name>                   unlisted, status file removed
//   at <seconds> offline <name>                  status file removed, still listed
//   at <seconds> online <name>                   status file written again
//   at <seconds> set <name> <key>=<value>...     keys: status, toner, errors,
//                                                warnings, pages
//   repeat <seconds>                             the timeline starts over
// status: ready, initialize, busy, canceling, printing, scanning, copying,
// reporting, or a byte such as 0x10. toner: hundredths of a percent (0-10000).
// errors/warnings: device codes separated by commas (0x1106,0x110D) or "none".
// The model code becomes the display name "Ruvo <code>" (K400, K401DN, ...).
#include "PrinterList.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <optional>

struct stSimPrinter {
    QString strName;
    int iConnectType = c_iConnectTypeUsb; // or c_iConnectTypeNetwork
    QString strModel;
    QString strPort;      // network: address; USB: "serial=<number>"
    bool bOnline = true;  // whether its status file exists
    quint8 ucStatus = 0x00;
    quint64 dwToner = 10000;
    QList<quint16> listErrors;
    QList<quint16> listWarnings;
    quint64 dwPages = 0;
};

enum class enSimEventKind { Add, Remove, Offline, Online, Set };

struct stSimEvent {
    qint64 iAtMs = 0;
    enSimEventKind enKind = enSimEventKind::Set;
    QString strName;
    stSimPrinter stAdded; // for Add
    std::optional<quint8> status;
    std::optional<quint64> toner;
    std::optional<QList<quint16>> errors;
    std::optional<QList<quint16>> warnings;
    std::optional<quint64> pages;
};

struct stScenario {
    QList<stSimPrinter> listInitial;
    QList<stSimEvent> listEvents; // in time order
    qint64 iRepeatMs = 0;         // 0: the fleet stays as the last event left it
};

// Nullopt on a malformed statement, with the line and reason in `error`.
std::optional<stScenario> ParseScenario(const QString &text, QString *error = nullptr);

// Names of the built-in scenarios and their texts ("" for an unknown name).
QStringList PresetNames();
QString PresetText(const QString &name);

// Applies one event; events naming a printer that is not there are ignored.
void ApplyEvent(QList<stSimPrinter> &fleet, const stSimEvent &event);

// The CUPS device URI the printer list carries for a printer.
QString SimPrinterUri(const stSimPrinter &printer);
// The printer list file for the fleet, in the INI format the programs read.
QByteArray BuildPrinterListIni(const QList<stSimPrinter> &fleet);
// The printer's status reply as its status file holds it.
QByteArray BuildSimStatusReply(const stSimPrinter &printer);

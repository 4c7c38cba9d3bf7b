#pragma once
// Printer list files written the way the list's writer does, for the tests of
// the programs that read them.
#include <QByteArray>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryDir>

namespace printer_list_files {

// One printer section as the file holds it.
struct Section {
    QString name, model, connectType, port, uri;
};

inline QString WriteList(const QTemporaryDir &dir, const QString &count, const QList<QPair<int, Section>> &sections,
                  const QString &fileName = "printerlist.ini")
{
    const QString path = dir.filePath(fileName);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    QByteArray text = "[Main]\n";
    if (!count.isNull())
        text += "Count=" + count.toUtf8() + "\n";
    for (const auto &[number, section] : sections) {
        text += "\n[printer_" + QByteArray::number(number) + "]\n";
        text += "Name=" + section.name.toUtf8() + "\n";
        text += "Model=" + section.model.toUtf8() + "\n";
        text += "ConnectType=" + section.connectType.toUtf8() + "\n";
        text += "Port=" + section.port.toUtf8() + "\n";
        text += "URI=" + section.uri.toUtf8() + "\n";
    }
    file.write(text);
    return path;
}

inline const Section kUsbNetworkModel{"Office_K400N", "Ruvo K400N", "1", "serial=AB12", "usb://Ruvo/K400N?serial=AB12"};
inline const Section kUsbPlainModel{"Desk_M200", "Ruvo M200", "1", "serial=CD34", "usb://Ruvo/M200?serial=CD34"};
inline const Section kNetworkPrinter{"Lab_P310DN", "Ruvo P310DN", "2", "192.168.1.20", "socket://192.168.1.20:9100"};

} // namespace printer_list_files

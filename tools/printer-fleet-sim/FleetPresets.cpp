// The built-in scenarios: what a person trying the suite, the demo and the
// tests most often want to see.
#include "FleetScenario.h"

#include <QMap>
#include <QStringList>

namespace {

const QMap<QString, QString> &Presets()
{
    static const QMap<QString, QString> presets = {
        // Four printers, USB and network, one with a warning, one with an error.
        {"default", R"(
printer Office  usb K400    serial=RV400A1001
printer Floor2  net K401DN  192.168.1.20
printer Lab     net K402ADN 192.168.1.21
printer Desk    usb K401D   serial=RV401D2002
at 0  set Office  status=ready toner=8250 pages=1520
at 0  set Floor2  status=printing toner=900 warnings=0x110D pages=20411
at 0  set Lab     status=ready toner=6400 pages=880
at 0  set Desk    status=ready toner=5575 errors=0x1106 pages=3007
at 30 set Office  status=printing pages=1521
at 36 set Office  status=ready toner=8240 pages=1525
repeat 60
)"},
        {"toner-rundown", R"(
printer Office  usb K400    serial=RV400A1001
at 0  set Office  status=printing toner=3000 warnings=none errors=none
at 2  set Office  toner=2500
at 4  set Office  toner=2000
at 6  set Office  toner=1500
at 8  set Office  toner=900 warnings=0x110D
at 10 set Office  toner=400
at 12 set Office  status=ready toner=0 warnings=none errors=0x110F
repeat 16
)"},
        {"cover-open", R"(
printer Desk    usb K401D   serial=RV401D2002
at 0  set Desk    status=ready toner=7000 errors=none
at 3  set Desk    errors=0x1106
at 8  set Desk    errors=none
repeat 12
)"},
        {"paper-jam", R"(
printer Lab     net K402ADN 192.168.1.21
at 0  set Lab     status=printing toner=6400 errors=none
at 3  set Lab     status=ready errors=0x11B0
at 8  set Lab     errors=none
repeat 12
)"},
        {"printing-toner-low", R"(
printer Floor2  net K401DN  192.168.1.20
at 0  set Floor2  status=ready toner=800 warnings=0x110D
at 2  set Floor2  status=printing
at 8  set Floor2  status=ready toner=750
repeat 10
)"},
        {"job-cancel", R"(
printer Office  usb K400    serial=RV400A1001
at 0  set Office  status=printing toner=8000
at 3  set Office  status=canceling
at 5  set Office  status=ready
repeat 10
)"},
        // Eleven failed reads in a row turn a printer Off-line.
        {"offline", R"(
printer Office  usb K400    serial=RV400A1001
at 0  set Office  status=ready toner=8000
at 0  online Office
at 3  offline Office
at 20 online Office
repeat 26
)"},
        {"add-remove", R"(
printer Office  usb K400    serial=RV400A1001
at 3 add Lab net K402ADN 192.168.1.21
at 4  set Lab     status=ready toner=6400
at 9 remove Lab
repeat 12
)"},
    };
    return presets;
}

} // namespace

QStringList PresetNames()
{
    return Presets().keys();
}

QString PresetText(const QString &name)
{
    return Presets().value(name);
}

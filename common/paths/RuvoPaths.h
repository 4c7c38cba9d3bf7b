#pragma once
// Product and per-user paths for the Qt programs, built from product_paths.h.
#include <QString>

namespace RuvoPaths {

// "/opt/ruvo/k40_series_printer" followed by `subDir` (for example "/cfg/").
QString ProductPath(const char *subDir);
// Home directory + "/" + "ruvo/k40_series_printer" + `subDir`.
QString UserPath(const char *subDir);

QString BinDir();                  // ".../bin/"
QString CfgDir();                  // ".../cfg/"
QString PrinterListFile();         // ".../cfg/printerlist.ini"
QString InstallerPrinterListFile();// "/tmp/ruvo_printerlist.ini"
QString StatusFile(const QString &printerName); // ".../cfg/<name>.dat"
QString HeartbeatFile();           // ".../cfg/service.hb"
QString FirmwareUpdaterProgram();  // ".../bin/ruvoK40FW"
QString ServiceProgram();          // ".../bin/ruvoK40Service"

} // namespace RuvoPaths

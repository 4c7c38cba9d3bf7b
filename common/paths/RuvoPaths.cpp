#include "RuvoPaths.h"

#include "product_paths.h"

#include <QDir>

namespace RuvoPaths {

QString ProductPath(const char *subDir)
{
    return QString::fromUtf8(ruvo_paths::kProductRoot) + QString::fromUtf8(subDir);
}

QString UserPath(const char *subDir)
{
    return QDir::homePath() + "/" + QString::fromUtf8(ruvo_paths::kUserTree) + QString::fromUtf8(subDir);
}

QString BinDir() { return ProductPath(ruvo_paths::kBinSubDir); }
QString CfgDir() { return ProductPath(ruvo_paths::kCfgSubDir); }
QString PrinterListFile() { return CfgDir() + ruvo_paths::kPrinterListFileName; }
QString InstallerPrinterListFile() { return QString::fromUtf8(ruvo_paths::kInstallerPrinterList); }
QString StatusFile(const QString &printerName) { return CfgDir() + printerName + ruvo_paths::kStatusFileSuffix; }
QString HeartbeatFile() { return CfgDir() + ruvo_paths::kHeartbeatFileName; }
QString FirmwareUpdaterProgram() { return BinDir() + ruvo_paths::kFirmwareUpdaterName; }
QString ServiceProgram() { return BinDir() + ruvo_paths::kServiceName; }

} // namespace RuvoPaths

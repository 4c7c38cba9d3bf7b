#pragma once
// The fixed locations of the product. Every program builds its paths from these
// pieces (the Qt programs through RuvoPaths, the scan daemon directly), so the
// product directory is named in this one header only. No Qt here: the scan
// daemon includes it too.

namespace ruvo_paths {

// Joined as "/opt/" "ruvo/" "k40_series_printer" and then a sub-directory.
inline constexpr const char kProductRoot[] = "/opt/ruvo/k40_series_printer";
// Per-user tree: home directory, "/", then this.
inline constexpr const char kUserTree[] = "ruvo/k40_series_printer";

inline constexpr const char kBinSubDir[] = "/bin/";
inline constexpr const char kCfgSubDir[] = "/cfg/";
inline constexpr const char kTempSubDir[] = "/temp/";
inline constexpr const char kLogSubDir[] = "/log/";
// The network tool writes its log under a directory spelled with a capital L.
inline constexpr const char kNetToolLogSubDir[] = "/Log/";
inline constexpr const char kScanSubDir[] = "/scan/";

inline constexpr const char kScanDir[] = "/opt/ruvo/k40_series_printer/scan";
inline constexpr const char kPrinterListFileName[] = "printerlist.ini";
inline constexpr const char kInstallerPrinterList[] = "/tmp/ruvo_printerlist.ini";
inline constexpr const char kHeartbeatFileName[] = "service.hb";
inline constexpr const char kStatusFileSuffix[] = ".dat";

// Local scanning clients reach the scan daemon over this Unix stream socket,
// where the kernel names each client's user. The service manager makes the
// folder (the unit's runtime directory); a daemon started by hand makes it.
inline constexpr const char kScanSocketDir[] = "/run/ruvo-scan";
inline constexpr const char kScanSocketPath[] = "/run/ruvo-scan/scan.sock";
// Tests and a second daemon beside the installed one name their own socket here.
inline constexpr const char kScanSocketEnvironment[] = "RUVO_SCAN_SOCKET";
// The system account the scan service runs as; clients trust a socket only when
// this account (or root, where the account does not exist) holds its other end.
inline constexpr const char kScanServiceAccount[] = "_ruvoscan";

inline constexpr const char kFirmwareUpdaterName[] = "ruvoK40FW";
inline constexpr const char kServiceName[] = "ruvoK40Service";

// The scan share: its setting file, the variable that points the tests at
// another one, and its service account.
inline constexpr const char kScanShareConfig[] = "/etc/ruvo/scan-share.conf";
inline constexpr const char kScanShareConfigEnvironment[] = "RUVO_SCAN_SHARE_CONFIG";
inline constexpr const char kScanShareAccount[] = "_ruvoscanshare";

} // namespace ruvo_paths

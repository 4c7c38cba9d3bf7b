#pragma once
// The 21 supported printer models (the rows of model_rows.h as Qt texts) and
// the look-ups by display name.
#include <QString>

#include <array>

struct stModelInfo {
    QString strModelCode; // capital letters and digits
    QString strModelName; // "Ruvo " + code
    QString strPPDFile;   // "Ruvo_" + code + ".ppd"
    int iVid;
    int iPid;
};

constexpr int c_iModelCount = 21;
extern const std::array<stModelInfo, c_iModelCount> c_stModelInfoList;

// Both compare the display name without regard to letter case; the first equal row wins.
// On no match GetPrinterVidPid returns false and leaves vid and pid unchanged.
bool GetPrinterVidPid(const QString &modelName, int &vid, int &pid);
// Empty when no row matches.
QString GetPPDFile(const QString &modelName);
// The row whose display name equals `modelName` regardless of case, or nullptr.
const stModelInfo *FindModelByName(const QString &modelName);

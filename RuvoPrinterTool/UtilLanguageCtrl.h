#pragma once
// Every text shown for a printer's state, in English (index 0) and Chinese
// (index 1). Read as table[value][language]; callers pass values from the
// status mappings, which stay inside the tables.
#include "PrinterState.h"

#include <QString>

constexpr int c_iLanguageEnglish = 0;
constexpr int c_iLanguageChinese = 1;
constexpr int c_iLanguageCount = 2;

extern const QString c_strStatusLanguageText[PrinterStatusCount][c_iLanguageCount];
extern const QString c_strErrorDescText[ErrorStatusCount][c_iLanguageCount];
extern const QString c_strErrorSolutionText[ErrorStatusCount][c_iLanguageCount];

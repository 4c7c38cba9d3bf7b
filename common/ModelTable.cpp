#include "ModelTable.h"

namespace {

constexpr int kRuvoVendorId = 0x7A3E;

stModelInfo Row(const char *code, int productId)
{
    const QString modelCode = QString::fromLatin1(code);
    return {modelCode, "Ruvo " + modelCode, "Ruvo_" + modelCode + ".ppd", kRuvoVendorId, productId};
}

} // namespace

// The K40 series comes first. A code carries a capital N exactly when the model
// has a network interface (codes ending in N, DN or ADN).
const std::array<stModelInfo, c_iModelCount> c_stModelInfoList = {
    Row("K400", 0x0401),   Row("K400N", 0x0402),  Row("K401D", 0x0403),
    Row("K401DN", 0x0404), Row("K402ADN", 0x0405),
    Row("M200", 0x0411),   Row("M200N", 0x0412),  Row("M201D", 0x0413),
    Row("M201DN", 0x0414), Row("M220ADN", 0x0415),
    Row("P300", 0x0421),   Row("P300D", 0x0422),  Row("P310DN", 0x0423),
    Row("P320N", 0x0424),
    Row("L500", 0x0431),   Row("L500D", 0x0432),  Row("L510DN", 0x0433),
    Row("L520ADN", 0x0434),
    Row("C600", 0x0441),   Row("C600D", 0x0442),  Row("C610DN", 0x0443),
};

const stModelInfo *FindModelByName(const QString &modelName)
{
    for (const stModelInfo &row : c_stModelInfoList) {
        if (modelName.compare(row.strModelName, Qt::CaseInsensitive) == 0)
            return &row;
    }
    return nullptr;
}

bool GetPrinterVidPid(const QString &modelName, int &vid, int &pid)
{
    const stModelInfo *row = FindModelByName(modelName);
    if (!row)
        return false;
    vid = row->iVid;
    pid = row->iPid;
    return true;
}

QString GetPPDFile(const QString &modelName)
{
    const stModelInfo *row = FindModelByName(modelName);
    return row ? row->strPPDFile : QString();
}

#include "ModelTable.h"

#include "model_rows.h"

namespace {

std::array<stModelInfo, c_iModelCount> BuildModelInfoList()
{
    std::array<stModelInfo, c_iModelCount> list;
    for (size_t i = 0; i < list.size(); ++i) {
        const ruvo_models::ModelRow &row = ruvo_models::kModels[i];
        list[i] = {QString::fromLatin1(row.code),
                   QString::fromStdString(ruvo_models::DisplayName(row)),
                   QString::fromStdString(ruvo_models::DriverFileName(row)),
                   ruvo_models::kVendorId, row.productId};
    }
    return list;
}

} // namespace

static_assert(c_iModelCount == static_cast<int>(ruvo_models::kModels.size()));

const std::array<stModelInfo, c_iModelCount> c_stModelInfoList = BuildModelInfoList();

// Qt's comparison without regard to case, rather than the plain rows' ASCII
// one: a display name read from a file may hold any Unicode text.
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

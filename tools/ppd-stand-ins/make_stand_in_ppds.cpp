// make_stand_in_ppds <directory>: writes one stand-in driver file per model of
// the model table into <directory>, named as the table names the driver file.
#include "ModelTable.h"
#include "StandInPpd.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const QString directory = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(directory)) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    for (const stModelInfo &model : c_stModelInfoList) {
        QSaveFile file(directory + QLatin1Char('/') + model.strPPDFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(BuildStandInPpd(model)) < 0 || !file.commit()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            return 1;
        }
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                            QFileDevice::ReadGroup | QFileDevice::ReadOther);
    }
    return 0;
}

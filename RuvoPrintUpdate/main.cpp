// RuvoPrintUpdate: creates the print queues of the printers in
// "/tmp/ruvo_printerlist.ini" and ends.
#include "QueueInstaller.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    SetLogLocation(QueueInstallerLogLocation());
    AddPrinter();
    return 0;
}

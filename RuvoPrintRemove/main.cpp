// RuvoPrintRemove: deletes the print queues of the supported models and ends.
#include "QueueRemover.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    SetLogLocation(QueueRemoverLogLocation());
    DeletePrinter();
    return 0;
}

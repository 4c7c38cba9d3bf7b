// RuvoPrintUpdate: creates the print queues of the printers in
// "/tmp/ruvo_printerlist.ini" and ends.
#include "CommandLine.h"
#include "QueueInstaller.h"
#include "product_paths.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    const ruvo_command_line::stProgram program{
        "RuvoPrintUpdate",
        std::string("Creates a CUPS print queue for every printer of a supported model listed in\n")
            + ruvo_paths::kInstallerPrinterList
            + " (a regular file owned by root), then deletes that list.\n"
              "When a queue cannot be created the list is kept and the exit status is 1.",
        {}};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    QCoreApplication application(argc, argv);
    SetLogLocation(QueueInstallerLogLocation());
    return AddPrinter();
}

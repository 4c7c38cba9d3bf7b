// RuvoPrintRemove: deletes the print queues of the supported models and ends.
#include "CommandLine.h"
#include "QueueRemover.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    const ruvo_command_line::stProgram program{
        "RuvoPrintRemove",
        "Deletes every CUPS print queue whose driver names a supported model, whatever\n"
        "its connection, and ends.",
        {}};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    QCoreApplication application(argc, argv);
    SetLogLocation(QueueRemoverLogLocation());
    DeletePrinter();
    return 0;
}

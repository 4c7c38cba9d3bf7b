#include "CommandLine.h"
#include "FirmwareUpdate.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // --help and --version answer on the terminal, before any display is
    // needed; every other argument is Qt's.
    const ruvo_command_line::stProgram program{
        "ruvoK40FW",
        "The Ruvo printer firmware updater (Ruvo打印机升级助手): sends a firmware image\n"
        "to a printer attached by USB.",
        {},
        ruvo_command_line::enUnknownArguments::Ignore};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    QApplication application(argc, argv);
    SetLogLocation(FirmwareUpdaterLogLocation());
    Widget window;
    window.show();
    return application.exec();
}

#include "CommandLine.h"
#include "NetSettings.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // --help and --version answer on the terminal, before any display is
    // needed; every other argument is Qt's.
    const ruvo_command_line::stProgram program{
        "RuvoNetTool",
        "The Ruvo printer network configuration tool (Ruvo打印机网络配置工具): reads and\n"
        "writes the network settings of a printer attached by USB.",
        {},
        ruvo_command_line::enUnknownArguments::Ignore};
    ruvo_command_line::stParsed parsed;
    const int answered = ruvo_command_line::AnswerCommandLine(program, argc, argv, parsed);
    if (answered >= 0)
        return answered;

    QApplication application(argc, argv);
    SetLogLocation(NetToolLogLocation());
    Widget window;
    window.show();
    return application.exec();
}

#include "NetSettings.h"
#include "widget.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    SetLogLocation(NetToolLogLocation());
    Widget window;
    window.show();
    return application.exec();
}

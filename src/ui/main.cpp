#include "portmap/upnpmapper.h"
#include "ui/frmmain.h"
#include "ui/program.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    ui::keepStandardDescriptors();
    QApplication app(argc, argv);
    ui::Environment env;
    env.appDir = QCoreApplication::applicationDirPath();
    env.mapper = portmap::makeUpnpMapper();
    ui::frmMain window(std::move(env));
    return ui::run(window);
}

#include "portmap/upnpmapper.h"
#include "ui/frmmain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ui::Environment env;
    env.appDir = QCoreApplication::applicationDirPath();
    env.mapper = portmap::makeUpnpMapper();
    ui::frmMain window(std::move(env));
    window.show();
    return app.exec();
}

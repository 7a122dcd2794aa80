#include "ui/frmmain.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    ui::frmMain window;
    window.show();
    return app.exec();
}

#include "frmmain.h"

namespace ui {

frmMain::frmMain(QWidget *parent)
    : QWidget(parent)
{
    setWindowTitle(QStringLiteral("Socks4 Proxy Server"));
}

frmMain::~frmMain() = default;

} // namespace ui

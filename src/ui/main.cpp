#include "portmap/upnpmapper.h"
#include "ui/desktop.h"
#include "ui/frmmain.h"
#include "ui/program.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    ui::keepStandardDescriptors();
    ui::StartOptions options;
    if (const std::optional<int> status = ui::answerCommandLine(argc, argv, &options))
        return *status;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("socks4proxy"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SOCKS4_VERSION));
    QGuiApplication::setDesktopFileName(QString::fromUtf16(ui::AppId));
    ui::Environment env;
#ifdef SOCKS4_INSTALLED
    env.appDir = ui::allowListDir(ui::Layout::Installed);
#else
    env.appDir = ui::allowListDir(ui::Layout::Portable);
#endif
    env.program = QCoreApplication::applicationFilePath();
    env.settingsFile = QDir(env.appDir).filePath(QStringLiteral("socks4proxy.ini"));
    env.mapper = portmap::makeUpnpMapper();
    ui::frmMain window(std::move(env));
    return ui::run(window, options);
}

#include "net/descriptors.h"
#include "portmap/upnpmapper.h"
#include "ui/desktop.h"
#include "ui/frmmain.h"
#include "ui/program.h"
#include "ui/settings.h"

#include <QApplication>
#include <QDir>

int main(int argc, char *argv[])
{
    ui::keepStandardDescriptors();
    net::raiseOpenFileLimit();
#ifdef SOCKS4_INSTALLED
    constexpr ui::Layout layout = ui::Layout::Installed;
#else
    constexpr ui::Layout layout = ui::Layout::Portable;
#endif
    ui::StartOptions options;
    if (const std::optional<int> status = ui::answerCommandLine(argc, argv, &options, layout))
        return *status;
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("socks4proxy"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SOCKS4_VERSION));
    QGuiApplication::setDesktopFileName(QString::fromUtf16(ui::AppId));
    ui::Environment env;
    env.appDir = ui::allowListDir(layout);
    env.program = QCoreApplication::applicationFilePath();
    env.settingsFile = QDir(env.appDir).filePath(QString::fromUtf16(ui::SettingsFileName));
    env.mapper = portmap::makeUpnpMapper();
    ui::frmMain window(std::move(env));
    return ui::run(window, options);
}

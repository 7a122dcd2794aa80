#include "desktop.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace ui {

namespace {

/// An argument of a desktop entry's Exec key, quoted when it needs to be.
QString execArgument(QString text)
{
    text.replace(u'%', QStringLiteral("%%"));
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return reserved.contains(c); }))
        return text;
    for (const QChar c : { u'\\', u'"', u'`', u'$' })
        text.replace(c, QStringLiteral("\\") + c);
    // In a desktop file's string values a backslash is itself escaped.
    text.replace(u'\\', QStringLiteral("\\\\"));
    return u'"' + text + u'"';
}

} // namespace

QString allowListDir(Layout layout)
{
    if (layout == Layout::Portable)
        return QCoreApplication::applicationDirPath();
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
}

QString autostartPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/") + QString::fromUtf16(AppId) + QStringLiteral(".desktop");
}

QString writeAutostart(const QString &program)
{
    const QString path = autostartPath();
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Socks4 Proxy Server\n"
                                         "Exec=%1 --listen --minimized\n"
                                         "Icon=%2\n"
                                         "Terminal=false\n")
                              .arg(execArgument(program), QString::fromUtf16(AppId));
    QSaveFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly)
        || file.write(entry.toUtf8()) < 0 || !file.commit())
        return QStringLiteral("Cannot write %1: %2").arg(path, file.errorString());
    return {};
}

QString removeAutostart()
{
    QFile file(autostartPath());
    if (!file.exists() || file.remove())
        return {};
    return QStringLiteral("Cannot remove %1: %2").arg(file.fileName(), file.errorString());
}

} // namespace ui

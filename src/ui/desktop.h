#pragma once

#include <QString>

/// Where the program meets the desktop beyond its window: the folder of "IPs.txt" and the
/// entry that starts it at login.
namespace ui {

/// The program's reverse-DNS id: the name of its desktop entry, icons and autostart entry.
inline constexpr char16_t AppId[] = u"" SOCKS4_APP_ID;

/// Where a build keeps "IPs.txt". The build decides (the package build is Installed), never a
/// guess at run time.
enum class Layout {
    Portable, ///< beside the executable, as a program run from its build folder
    Installed, ///< the user's configuration folder (QStandardPaths::AppConfigLocation)
};
/// The folder of "IPs.txt" for that layout. An installed program's folder may not exist yet:
/// the first save creates it.
QString allowListDir(Layout layout);

/// The autostart entry: $XDG_CONFIG_HOME/autostart/<AppId>.desktop (~/.config by default).
QString autostartPath();
/// Writes the entry, which starts program with --listen --minimized; on failure, the reason.
QString writeAutostart(const QString &program);
/// Removes the entry (nothing to do when it is not there); on failure, the reason.
QString removeAutostart();

} // namespace ui

#pragma once

#include "dialogs.h"
#include "portmap/portmapper.h"
#include "statuslog.h"

#include <QString>
#include <functional>
#include <memory>

namespace ui {

/// What the window needs from the world outside it, handed in by main() and replaced by tests.
struct Environment
{
    /// The directory that holds "IPs.txt" (see allowListDir); made on the first save if missing.
    QString appDir;
    /// The executable, as the autostart entry is to run it.
    QString program;
    /// Talks to the UPnP gateway. Required: the window has no default, so a test can never
    /// reach the real network by forgetting to pass a double.
    std::unique_ptr<portmap::PortMapper> mapper;
    /// Prompts, message boxes and the beep; the real ones when left empty.
    std::unique_ptr<Dialogs> dialogs;
    /// Whether the desktop has a notification area; asked at every minimise. The real answer
    /// (QSystemTrayIcon::isSystemTrayAvailable) when left empty.
    std::function<bool()> trayAvailable;
    /// Where the status log is mirrored; standard output when left empty.
    OutputSink output;
    /// An INI file where windows keep their sizes; when empty, nothing is kept.
    QString settingsFile;
};

} // namespace ui

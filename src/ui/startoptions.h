#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace ui {

/// How the window starts, from the command line. All off: it starts as when double-clicked.
struct StartOptions
{
    std::optional<quint16> port; ///< --port N: the port box holds N
    bool listen = false; ///< --listen: Listen is pressed once the window has loaded
    bool minimized = false; ///< --minimized: hidden behind the notification-area icon
    bool connections = false; ///< --connections: the Connections window opens too
};

struct CommandLine
{
    enum Outcome { Start, Help, Version, Error };
    Outcome outcome = Start;
    StartOptions options; ///< valid for Start
    /// Help or version (for standard output), or one line saying what is wrong (standard error).
    QString text;
};

/// Reads the program's arguments (the first is the program's name). Pure: prints nothing.
CommandLine parseCommandLine(const QStringList &arguments);

/// Parses, prints what there is to print, and returns the exit status when the program must
/// end here: 0 after --help or --version, 2 for an unknown option or a bad value.
std::optional<int> answerCommandLine(int argc, char **argv, StartOptions *options);

} // namespace ui

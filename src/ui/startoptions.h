#pragma once

#include "desktop.h"

#include <QByteArray>
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
    enum Outcome { Start, Help, Version, Error, AddUser, RemoveUser };
    Outcome outcome = Start;
    QByteArray userName; ///< for AddUser and RemoveUser: 1 to 255 bytes
    StartOptions options; ///< valid for Start
    /// Help or version (for standard output), or one line saying what is wrong (standard error).
    QString text;
};

/// Reads the program's arguments (the first is the program's name). Pure: prints nothing.
CommandLine parseCommandLine(const QStringList &arguments);

/// Parses, prints what there is to print, and returns the exit status when the program must
/// end here: 0 after --help or --version, 2 for an unknown option or a bad value. --add-user
/// and --remove-user edit the users kept in layout's folder (no display needed): 0 when done,
/// 2 for an empty or too long name or password, 1 when the file cannot be read or written or
/// there is no such user to remove.
std::optional<int> answerCommandLine(int argc, char **argv, StartOptions *options, Layout layout);

/// Reads a password from standard input: one line without its end (LF or CR LF), at most
/// 1024 bytes. On a terminal it asks on standard error first and does not echo what is typed.
QByteArray readPassword(const QByteArray &name);

} // namespace ui

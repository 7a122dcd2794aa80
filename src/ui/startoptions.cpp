#include "startoptions.h"

#include "acl/users.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <termios.h>
#include <unistd.h>

namespace ui {

namespace {

QString usage()
{
    return QStringLiteral("Usage: socks4proxy [--port N] [--listen] [--minimized] [--connections]\n"
                          "       socks4proxy --add-user NAME | --remove-user NAME\n"
                          "A SOCKS4 proxy server for the clients on its allow-list.\n"
                          "\n"
                          "  --port N       put N (1-65535) in the port box instead of 1080\n"
                          "  --listen       press Listen once the window has loaded\n"
                          "  --minimized    start hidden behind the notification-area icon\n"
                          "                 (minimised where there is no notification area)\n"
                          "  --connections  open the Connections window too\n"
                          "  --add-user NAME     add the user, or change the password, read as\n"
                          "                      one line from standard input\n"
                          "  --remove-user NAME  remove the user\n"
                          "  -h, --help     show this text\n"
                          "  -v, --version  show the version\n");
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine result;
    const auto fail = [&result](const QString &what) {
        result.outcome = CommandLine::Error;
        result.text = QStringLiteral("socks4proxy: %1 (try --help)").arg(what);
        return result;
    };
    QCommandLineParser parser;
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption listen(QStringLiteral("listen"));
    const QCommandLineOption minimized(QStringLiteral("minimized"));
    const QCommandLineOption connections(QStringLiteral("connections"));
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(
        QStringList { QStringLiteral("v"), QStringLiteral("version") });
    const QCommandLineOption addUser(QStringLiteral("add-user"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption removeUser(
        QStringLiteral("remove-user"), QString(), QStringLiteral("NAME"));
    parser.addOptions({ port, listen, minimized, connections, help, version, addUser, removeUser });
    if (!parser.parse(arguments)) {
        QString error =
            parser.errorText(); // "Unknown option 'x'.", "Missing value after '--port'."
        if (error.endsWith(u'.'))
            error.chop(1);
        return fail(error);
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]));
    if (parser.isSet(help)) {
        result.outcome = CommandLine::Help;
        result.text = usage();
        return result;
    }
    if (parser.isSet(version)) {
        result.outcome = CommandLine::Version;
        result.text = QStringLiteral("socks4proxy " SOCKS4_VERSION "\n");
        return result;
    }
    for (const auto &[option, outcome] : { std::pair { &addUser, CommandLine::AddUser },
             { &removeUser, CommandLine::RemoveUser } }) {
        if (!parser.isSet(*option))
            continue;
        if (parser.isSet(addUser) && parser.isSet(removeUser))
            return fail(QStringLiteral("--add-user and --remove-user go alone"));
        result.userName = parser.value(*option).toUtf8();
        if (!acl::isValidCredential(result.userName))
            return fail(QStringLiteral("--%1 takes a name of 1 to 255 bytes")
                            .arg(option->names().constFirst()));
        result.outcome = outcome;
        return result;
    }
    if (parser.isSet(port)) {
        // Plain decimal digits only: what a script writes, and nothing the box would round.
        const QString text = parser.value(port);
        bool digits = !text.isEmpty() && text.size() <= 5;
        for (const QChar c : text)
            digits = digits && c >= u'0' && c <= u'9';
        const uint value = digits ? text.toUInt() : 0;
        if (value < 1 || value > 65535)
            return fail(
                QStringLiteral("--port takes a number from 1 to 65535, not '%1'").arg(text));
        result.options.port = quint16(value);
    }
    result.options.listen = parser.isSet(listen);
    result.options.minimized = parser.isSet(minimized);
    result.options.connections = parser.isSet(connections);
    return result;
}

QByteArray readPassword(const QByteArray &name)
{
    termios saved {};
    const bool terminal = isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fprintf(stderr, "Password for %s: ", name.constData());
        std::fflush(stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray line;
    for (int c; line.size() <= 1024 && (c = std::getchar()) != EOF && c != '\n';)
        line += char(c);
    if (line.endsWith('\r'))
        line.chop(1);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    return line;
}

namespace {

int editUsers(int argc, char **argv, const CommandLine &line, Layout layout)
{
    const auto fail = [](int status, const QString &text) {
        std::fputs((text + u'\n').toLocal8Bit().constData(), stderr);
        return status;
    };
    const QString shown = QString::fromUtf8(line.userName);
    QCoreApplication app(argc, argv); // for the folder of the users file; no display
    QCoreApplication::setApplicationName(QStringLiteral("socks4proxy"));
    acl::Users users(allowListDir(layout));
    if (line.outcome == CommandLine::RemoveUser) {
        if (const QString error = users.load(); !error.isEmpty())
            return fail(1, QStringLiteral("socks4proxy: ") + error);
        if (!users.hashOf(line.userName))
            return fail(1, QStringLiteral("socks4proxy: there is no user '%1'").arg(shown));
        const QString error = users.remove(line.userName);
        return error.isEmpty() ? 0 : fail(1, QStringLiteral("socks4proxy: ") + error);
    }
    QByteArray password = readPassword(line.userName);
    if (!acl::isValidCredential(password))
        return fail(2, QStringLiteral("socks4proxy: the password must be 1 to 255 bytes"));
    const QString error = users.setPassword(line.userName, password);
    password.fill('\0');
    return error.isEmpty() ? 0 : fail(1, QStringLiteral("socks4proxy: ") + error);
}

} // namespace

std::optional<int> answerCommandLine(int argc, char **argv, StartOptions *options, Layout layout)
{
    // Read before any application object exists, so that --help and a wrong option need no
    // display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const CommandLine line = parseCommandLine(arguments);
    switch (line.outcome) {
    case CommandLine::Start:
        *options = line.options;
        return std::nullopt;
    case CommandLine::Help:
    case CommandLine::Version:
        std::fputs(line.text.toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::AddUser:
    case CommandLine::RemoveUser:
        return editUsers(argc, argv, line, layout);
    case CommandLine::Error:
        break;
    }
    std::fputs((line.text + u'\n').toLocal8Bit().constData(), stderr);
    return 2;
}

} // namespace ui

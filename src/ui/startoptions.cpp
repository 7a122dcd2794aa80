#include "startoptions.h"

#include <QCommandLineParser>
#include <cstdio>

namespace ui {

namespace {

QString usage()
{
    return QStringLiteral("Usage: socks4proxy [--port N] [--listen] [--minimized] [--connections]\n"
                          "A SOCKS4 proxy server for the clients on its allow-list.\n"
                          "\n"
                          "  --port N       put N (1-65535) in the port box instead of 1080\n"
                          "  --listen       press Listen once the window has loaded\n"
                          "  --minimized    start hidden behind the notification-area icon\n"
                          "                 (minimised where there is no notification area)\n"
                          "  --connections  open the Connections window too\n"
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
    parser.addOptions({ port, listen, minimized, connections, help, version });
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

std::optional<int> answerCommandLine(int argc, char **argv, StartOptions *options)
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
    case CommandLine::Error:
        break;
    }
    std::fputs((line.text + u'\n').toLocal8Bit().constData(), stderr);
    return 2;
}

} // namespace ui

// A headless proxy for the benchmarks: the relay with only 127.0.0.1 allowed, listening on the
// port given as the first argument (0, the default, takes a free one). Prints the port on
// standard output and runs until SIGTERM or SIGINT, on which it exits cleanly (so that a
// sanitizer build reports leaks). Log lines are only counted, so that formatting and printing
// them does not weigh on the figures; with --log each line is printed after the port instead.

#include "acl/allowlist.h"
#include "relay/relay.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_quitPipe[2] = { -1, -1 };

void requestQuit(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(g_quitPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const bool printLog = args.contains(QStringLiteral("--log"));
    quint32 port = 0;
    for (qsizetype a = 1; a < args.size(); ++a) {
        if (!args.at(a).startsWith(QLatin1Char('-')))
            port = args.at(a).toUInt();
    }

    // Signals only write a byte; the event loop does the quitting.
    if (::pipe2(g_quitPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    QSocketNotifier quitNotifier(g_quitPipe[0], QSocketNotifier::Read);
    QObject::connect(&quitNotifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGTERM, requestQuit);
    std::signal(SIGINT, requestQuit);

    const QStringList allowed { QStringLiteral("127.0.0.1") };
    quint64 lines = 0;
    relay::Relay proxy(
        [&allowed](const QString &address) { return acl::admits(allowed, address); });
    QObject::connect(
        &proxy, &relay::Relay::LogLine, &proxy, [&lines, printLog](const QString &line) {
            ++lines;
            if (printLog) {
                std::fputs(line.toUtf8().append('\n').constData(), stdout);
                std::fflush(stdout);
            }
        });

    proxy.wsListener().setLocalPort(port);
    if (!proxy.wsListener().Listen()) {
        std::fprintf(stderr, "bench_proxyd: cannot listen: %s\n",
            qPrintable(proxy.wsListener().ErrorString()));
        return 1;
    }
    std::printf("%u\n", proxy.wsListener().LocalPort());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

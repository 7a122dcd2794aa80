// A headless proxy for the benchmarks: the relay with only 127.0.0.1 allowed, listening on the
// port given as the first argument (0, the default, takes a free one). Prints the port on
// standard output and runs until killed. Log lines are only counted, so that formatting and
// printing them does not weigh on the figures.

#include "acl/allowlist.h"
#include "relay/relay.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const quint32 port = args.size() > 1 ? args.at(1).toUInt() : 0;

    const QStringList allowed { QStringLiteral("127.0.0.1") };
    quint64 lines = 0;
    relay::Relay proxy(
        [&allowed](const QString &address) { return acl::admits(allowed, address); });
    QObject::connect(
        &proxy, &relay::Relay::LogLine, &proxy, [&lines](const QString &) { ++lines; });

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

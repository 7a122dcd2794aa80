// bench_window: the program as users run it, with its window open and its log running, for the
// benchmarks to measure.
//
// It builds the real window (the real relay, status log, view and standard-output mirror) with
// "IPs.txt" in a temporary directory allowing 127.0.0.1, and a port-mapping double that answers
// "no device" at once, so it never looks for a gateway on any network. It shows the window,
// expanded so that the status log is on screen (--collapsed leaves it folded), types the port
// into txtPort and clicks cmdListen, as a person would. Once listening it prints
// "listening PORT" to standard error, then runs as the program does (ui::run) until SIGTERM or
// SIGINT, which close the window as the operator would and end it cleanly (exit status 0). The log's mirror goes to standard output, as in the real
// program: redirect it to /dev/null or a file.
//
// Usage: bench_window [PORT] [--collapsed]
//   PORT  the port to listen on; 0 or none takes a free one (a probe, so there is a small race)
// Set QT_QPA_PLATFORM=offscreen, or run it under Xvfb with xcb.

#include "portmap/portmapper.h"
#include "relay/relay.h"
#include "ui/frmmain.h"
#include "ui/program.h"
#include "ui/statuslog.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

/// Answers at once that there is no gateway: what the program logs in a network without one.
class NoGateway final : public portmap::PortMapper
{
public:
    portmap::Outcome add(quint16) override { return { portmap::Outcome::NoDevice, 0, {} }; }
    portmap::Outcome remove(quint16) override { return { portmap::Outcome::NoDevice, 0, {} }; }
};

quint16 probeFreePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

template<class T> T *control(const QWidget &window, const char *name)
{
    T *child = window.findChild<T *>(QString::fromLatin1(name));
    if (!child) {
        std::fprintf(stderr, "bench_window: the window has no %s\n", name);
        std::exit(1);
    }
    return child;
}

} // namespace

int main(int argc, char **argv)
{
    ui::keepStandardDescriptors();
    QApplication app(argc, argv);
    quint16 port = 0;
    bool expanded = true;
    for (int i = 1; i < argc; ++i) {
        const QByteArray a(argv[i]);
        bool number = false;
        const uint value = a.toUInt(&number);
        if (a == "--collapsed") {
            expanded = false;
        } else if (number && value <= 65535) {
            port = static_cast<quint16>(value);
        } else {
            std::fprintf(stderr, "usage: bench_window [PORT] [--collapsed]\n");
            return 2;
        }
    }
    if (port == 0)
        port = probeFreePort();

    QTemporaryDir dir;
    QFile ips(QDir(dir.path()).filePath(QStringLiteral("IPs.txt")));
    if (!dir.isValid() || !ips.open(QIODevice::WriteOnly) || ips.write("127.0.0.1\r\n") < 0) {
        std::fprintf(stderr, "bench_window: cannot write IPs.txt in a temporary directory\n");
        return 1;
    }
    ips.close();

    ui::Environment env;
    env.appDir = dir.path();
    env.mapper = std::make_unique<NoGateway>();
    ui::frmMain window(std::move(env));
    window.show();
    if (expanded)
        control<QPushButton>(window, "cmdStatus")->click();

    control<QLineEdit>(window, "txtPort")->setText(QString::number(port));
    control<QPushButton>(window, "cmdListen")->click();
    if (window.proxy().wsListener().State() == net::Endpoint::sckClosed) {
        window.statusLog().flush();
        const QList<QString> &lines = window.statusLog().lines();
        std::fprintf(stderr, "bench_window: not listening on %u: %s\n", port,
            lines.isEmpty() ? "" : qPrintable(lines.last()));
        return 1;
    }
    std::fprintf(stderr, "listening %u\n", window.proxy().wsListener().LocalPort());
    std::fflush(stderr);
    // Runs as the program does: SIGTERM and SIGINT close the window as the operator would.
    return ui::run(window);
}

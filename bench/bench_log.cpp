// bench_log: how the status log copes with a million lines.
//
// Shows the main window (offscreen unless QT_QPA_PLATFORM says otherwise), expanded so that the
// log is on screen, and appends 10^6 lines two ways:
//   burst:  all in one event handler, as a flood of relay events handled in one go would;
//   spread: 1000 lines in each of 1000 event-loop turns, so the cost per turn shows whether
//           appending stays constant time as the log grows.
// A 1 ms timer measures the event loop's longest stall. The baseline is the same lines appended
// to a plain QStringList, so the ratio is what the window and the mirror add. The mirror goes
// to /dev/null (as if standard output were redirected to a file).
// Memory: a fresh window takes 10^6 typical lines (17 to 45 characters, as the relay writes
// them), shows and prints them; the growth of resident memory divided by the lines is the
// log's cost per line.
//
// Run: build/<dir>/bench/bench_log

#include "portmap/portmapper.h"
#include "ui/frmmain.h"
#include "ui/statuslog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

namespace {

constexpr int Lines = 1'000'000;
constexpr int PerTurn = 1000;

class NoGateway final : public portmap::PortMapper
{
public:
    portmap::Outcome add(quint16) override { return { portmap::Outcome::NoDevice, 0, {} }; }
    portmap::Outcome remove(quint16) override { return { portmap::Outcome::NoDevice, 0, {} }; }
};

/// The lines of one connection through slot i % 16, in turn.
QString line(int i)
{
    const int slot = i % 16, host = (i >> 4) & 0xff;
    switch ((i >> 2) % 4) {
    case 0:
        return QStringLiteral("Proxy [%1] Connection Request from 10.0.0.%2").arg(slot).arg(host);
    case 1:
        return QStringLiteral("Proxy [%1] Request from bob to 93.184.216.%2:443")
            .arg(slot)
            .arg(host);
    case 2:
        return QStringLiteral("Outbound [%1] Connected").arg(slot);
    default:
        return QStringLiteral("Proxy [%1] Closed").arg(slot);
    }
}

/// Resident memory of this process, in bytes.
qint64 residentBytes()
{
    FILE *statm = std::fopen("/proc/self/statm", "r");
    long pages = 0, resident = 0;
    if (!statm || std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
        resident = 0;
    if (statm)
        std::fclose(statm);
    return qint64(resident) * sysconf(_SC_PAGESIZE);
}

/// Measures the longest gap between the ticks of a 1 ms timer.
class StallMeter
{
public:
    StallMeter()
    {
        m_timer.setInterval(1);
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout,
            [this] { m_longest = std::max(m_longest, m_clock.restart()); });
    }
    void start()
    {
        m_longest = 0;
        m_clock.start();
        m_timer.start();
    }
    qint64 stop()
    {
        m_timer.stop();
        return std::max(m_longest, m_clock.elapsed());
    }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_longest = 0;
};

qint64 printed = 0; ///< lines the mirror has written

/// Runs the event loop until the window has shown every line and painted at least once more.
void settle(ui::frmMain &window, qint64 rows)
{
    while (window.statusLog().rowCount() < rows)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    window.repaint();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

/// Runs the event loop until the mirror has printed every line.
void settlePrinted(qint64 lines)
{
    while (printed < lines)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    FILE *devNull = std::fopen("/dev/null", "wb");
    if (!devNull)
        return 1;

    const auto openWindow = [devNull] {
        ui::Environment env;
        env.appDir = QStringLiteral("/nonexistent"); // nothing to load; saving is not reached
        env.mapper = std::make_unique<NoGateway>();
        env.trayAvailable = [] { return false; };
        env.output = [devNull](const QByteArray &chunk) {
            std::fwrite(chunk.constData(), 1, static_cast<size_t>(chunk.size()), devNull);
            printed += chunk.count('\n');
        };
        auto window = std::make_unique<ui::frmMain>(std::move(env));
        window->show();
        window->findChild<QPushButton *>(QStringLiteral("cmdStatus"))->click(); // expand
        QCoreApplication::processEvents();
        return window;
    };

    StallMeter meter;

    // Memory first, while the heap is fresh: memory freed later stays resident and would be
    // taken again unseen.
    printed = 0;
    auto window = openWindow();
    settle(*window, 0);
    const qint64 residentBefore = residentBytes();
    qint64 characters = 0;
    for (int i = 0; i < Lines; ++i) {
        const QString text = line(i);
        characters += text.size();
        window->AppendStatus(text);
    }
    settle(*window, Lines);
    settlePrinted(Lines);
    const double bytesPerLine = double(residentBytes() - residentBefore) / Lines;
    window.reset();

    // Baseline: the same lines into a plain list.
    QElapsedTimer clock;
    clock.start();
    QStringList plain;
    for (int i = 0; i < Lines; ++i)
        plain.append(line(i));
    const qint64 baselineMs = std::max<qint64>(clock.elapsed(), 1);
    plain.clear();

    // Burst: one handler appends everything.
    printed = 0;
    window = openWindow();
    meter.start();
    qint64 appendMs = 0;
    clock.restart();
    QTimer::singleShot(0, window.get(), [&] {
        QElapsedTimer inside;
        inside.start();
        for (int i = 0; i < Lines; ++i)
            window->AppendStatus(line(i));
        appendMs = inside.elapsed();
        meter.start(); // from here on, what the log itself holds the loop for
    });
    settle(*window, Lines);
    const qint64 burstMs = clock.elapsed();
    settlePrinted(Lines);
    const qint64 burstPrintedMs = clock.elapsed();
    const qint64 afterStall = meter.stop();

    // The window with a million lines still answers: one more line, one more turn.
    meter.start();
    clock.restart();
    window->AppendStatus(QStringLiteral("one more"));
    settle(*window, Lines + 1);
    settlePrinted(Lines + 1);
    const qint64 oneMoreMs = clock.elapsed();
    meter.stop();
    window.reset();

    // Spread: PerTurn lines per event-loop turn.
    printed = 0;
    window = openWindow();
    int produced = 0;
    QTimer producer;
    producer.setInterval(0);
    QObject::connect(&producer, &QTimer::timeout, window.get(), [&] {
        for (int k = 0; k < PerTurn && produced < Lines; ++k)
            window->AppendStatus(line(produced++));
        if (produced == Lines)
            producer.stop();
    });
    meter.start();
    clock.restart();
    producer.start();
    settle(*window, Lines);
    settlePrinted(Lines);
    const qint64 spreadMs = clock.elapsed();
    const qint64 spreadStall = meter.stop();

    const auto ms = [](qint64 v) { return static_cast<long long>(v); };
    const auto ratio = [baselineMs](qint64 v) { return double(v) / double(baselineMs); };
    std::printf("lines appended:                       %d\n", Lines);
    std::printf("memory: bytes per log line            %.1f (resident growth / lines; %.1f "
                "characters per line)\n",
        bytesPerLine, double(characters) / Lines);
    std::printf("baseline, same lines into QStringList: %lld ms\n", ms(baselineMs));
    std::printf("burst: the appending handler          %lld ms\n", ms(appendMs));
    std::printf("burst: until all shown                %lld ms (%.2f x baseline)\n", ms(burstMs),
        ratio(burstMs));
    std::printf("burst: until all printed              %lld ms (%.2f x baseline)\n",
        ms(burstPrintedMs), ratio(burstPrintedMs));
    std::printf("burst: longest stall after handler    %lld ms\n", ms(afterStall));
    std::printf("one more line at 10^6, shown+printed  %lld ms\n", ms(oneMoreMs));
    std::printf("spread (%d per turn): until printed %lld ms (%.2f x baseline)\n", PerTurn,
        ms(spreadMs), ratio(spreadMs));
    std::printf("spread: longest stall                 %lld ms\n", ms(spreadStall));

    window.reset();
    std::fclose(devNull);
    return 0;
}

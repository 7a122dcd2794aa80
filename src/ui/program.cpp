#include "program.h"

#include "frmmain.h"

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace ui {

namespace {

/// The signals with which a desktop, a terminal or a service manager ends a program.
constexpr int EndSignals[] = { SIGTERM, SIGINT, SIGHUP };

/// Written by the signal handler, read by the event loop.
int wakePipe[2] = { -1, -1 };
/// Set once the window has begun to close: another end signal then ends the program at once.
std::atomic<bool> closing { false };
static_assert(std::atomic<bool>::is_always_lock_free);

// May run on any thread, at any moment: only async-signal-safe calls. It wakes the event loop,
// which does the work; while the window is already closing, the signal ends the program at once
// by its default action (delivered as soon as this handler returns).
void onEndSignal(int signal)
{
    const int savedErrno = errno;
    if (closing.load()) {
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
        raise(signal);
    } else {
        const char byte = char(signal);
        [[maybe_unused]] const ssize_t written = write(wakePipe[1], &byte, 1);
    }
    errno = savedErrno;
}

} // namespace

void keepStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free descriptor: this one
    }
}

int run(frmMain &window, const StartOptions &options)
{
    // A log reader that goes away must not take the proxy with it: writes to standard output
    // then fail with EPIPE, which ends only the mirror.
    std::signal(SIGPIPE, SIG_IGN);
    if (wakePipe[0] < 0 && pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        qFatal("cannot create the signal pipe: %s", strerror(errno));
    // Closing the window ends the program, and only that does: it may close while hidden
    // behind the tray icon (its menu's Quit), and a dialog or menu closing while the window is
    // hidden must not end the program as the last window.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&window, &frmMain::closing, [] {
        closing.store(true);
        QCoreApplication::exit(0);
    });

    QSocketNotifier wake(wakePipe[0], QSocketNotifier::Read);
    QObject::connect(&wake, &QSocketNotifier::activated, &window, [&window] {
        char drained[16];
        while (read(wakePipe[0], drained, sizeof drained) > 0) { }
        // As if the operator had closed the window, with nobody there to answer a message box.
        // It may be hidden behind the tray icon, so the loop is told to end rather than left to
        // notice the last window closing.
        window.closeUnattended();
        QCoreApplication::exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = &onEndSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : EndSignals)
        sigaction(signal, &action, nullptr);

    // Logging out: the list is written, without a dialog that could hold the session up.
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, &window,
        [&window](QSessionManager &) { window.commitData(); });

    window.start(options);
    return QCoreApplication::exec();
}

} // namespace ui

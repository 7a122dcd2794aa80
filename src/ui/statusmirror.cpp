#include "statusmirror.h"

#include "logtext.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ui {

namespace {

/// The most formatted text the mirror keeps beside the log (a line longer than this is staged
/// whole).
constexpr qsizetype StageBytes = 64 * 1024;

// Lines are stored as UTF-8; most are printable ASCII and are passed on as they are.
void appendPrintable(QByteArray &out, QByteArrayView utf8)
{
    const bool plain =
        std::all_of(utf8.begin(), utf8.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    if (plain)
        out.append(utf8);
    else
        out.append(escapeControls(QString::fromUtf8(utf8)).toUtf8());
    out.append('\n');
}

} // namespace

StatusMirror::StatusMirror(const LineStore &lines, OutputSink output, QObject *parent)
    : QObject(parent), m_lines(lines), m_output(std::move(output))
{
    m_turnTimer.setSingleShot(true);
    m_turnTimer.setInterval(0);
    connect(&m_turnTimer, &QTimer::timeout, this, &StatusMirror::turn);
    if (m_output)
        return;
    // A file takes every write whole without making us wait: no poll() and no PIPE_BUF slices.
    struct stat st
    {
    };
    m_isFile = ::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode);
    // Standard output is never made non-blocking: the terminal and other programs may share
    // it. Instead poll() tells whether it can take more, and each write is at most PIPE_BUF
    // bytes, which a pipe with room takes whole; when it is full, this notifier says when to go on.
    m_writable = new QSocketNotifier(STDOUT_FILENO, QSocketNotifier::Write, this);
    m_writable->setEnabled(false);
    connect(m_writable, &QSocketNotifier::activated, this, [this] {
        m_writable->setEnabled(false);
        turn();
    });
}

StatusMirror::~StatusMirror()
{
    // At exit the mirror may wait, but not for a reader that has stopped taking anything.
    while (!writePending(m_lines.size()) && m_mirroring) {
        pollfd out = { STDOUT_FILENO, POLLOUT, 0 };
        if (::poll(&out, 1, ExitWaitMs) == 0)
            break;
    }
}

void StatusMirror::linesAdded()
{
    // A zero timer, not a posted call: it needs no wake-up of the event loop (a system call
    // each), and every line of this turn goes out in one write.
    if (!m_turnTimer.isActive())
        m_turnTimer.start();
}

void StatusMirror::turn()
{
    // Printing costs time per line, so a burst is printed a slice per turn and the window
    // keeps answering in between.
    if (writePending(MirrorLinesPerTurn) && m_written < m_lines.size())
        m_turnTimer.start();
}

bool StatusMirror::writePending(qsizetype maxLines)
{
    while (m_mirroring) {
        if (m_stagedDone == m_staged.size()) {
            m_staged.resize(0);
            m_stagedDone = 0;
            for (; m_written < m_lines.size() && maxLines > 0 && m_staged.size() < StageBytes;
                 --maxLines)
                appendPrintable(m_staged, m_lines.utf8(m_written++));
            if (m_staged.isEmpty())
                return true;
        }
        if (m_output) {
            m_output(m_staged);
            m_stagedDone = m_staged.size();
        } else if (!writeToDescriptor()) {
            return false;
        }
    }
    return false;
}

bool StatusMirror::writeToDescriptor()
{
    while (m_isFile && m_stagedDone < m_staged.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, m_staged.constData() + m_stagedDone,
            size_t(m_staged.size() - m_stagedDone));
        if (written > 0)
            m_stagedDone += written;
        else if (!(written < 0 && errno == EINTR))
            m_isFile = false; // let the general path find out what it is
    }
    while (m_stagedDone < m_staged.size()) {
        pollfd out = { STDOUT_FILENO, POLLOUT, 0 };
        const int ready = ::poll(&out, 1, 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0) {
            m_writable->setEnabled(true);
            return false;
        }
        const auto size = size_t(std::min<qsizetype>(m_staged.size() - m_stagedDone, PIPE_BUF));
        const ssize_t written = ::write(STDOUT_FILENO, m_staged.constData() + m_stagedDone, size);
        if (written > 0) {
            m_stagedDone += written;
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_writable->setEnabled(true); // someone else made it non-blocking
            return false;
        } else if (!(written < 0 && errno == EINTR)) {
            endMirror(written < 0 ? errno : EIO);
            return false;
        }
    }
    return true;
}

void StatusMirror::endMirror(int error)
{
    // The reader has gone (EPIPE) or the output failed: the log goes on in the window.
    m_mirroring = false;
    m_writable->setEnabled(false);
    m_staged = QByteArray();
    const QByteArray note = QByteArrayLiteral("socks4proxy: standard output failed (")
        + std::strerror(error) + "); the status log is no longer copied there\n";
    [[maybe_unused]] const ssize_t written =
        ::write(STDERR_FILENO, note.constData(), size_t(note.size()));
}

} // namespace ui

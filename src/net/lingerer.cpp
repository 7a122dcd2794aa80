#include "lingerer.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace net {

struct Lingerer::Closing
{
    int fd = -1;
    Outgoing outgoing;
    bool peerClosed = false; ///< the peer's end has been read: nothing more arrives
    bool finished = false; ///< everything was handed to the kernel and our end was sent
    qint64 since = 0; ///< when the owner closed, on the lingerer's clock
    std::unique_ptr<QSocketNotifier> reader;
    std::unique_ptr<QSocketNotifier> writer;
};

Lingerer::Lingerer(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_sweep.setInterval(SweepMs);
    m_sweep.setTimerType(Qt::CoarseTimer);
    connect(&m_sweep, &QTimer::timeout, this, &Lingerer::sweep);
}

Lingerer::~Lingerer()
{
    for (const std::unique_ptr<Closing> &c : m_closing)
        ::close(c->fd);
}

Lingerer *Lingerer::sharedBy(QObject *endpoint)
{
    QObject *home = endpoint->parent() ? endpoint->parent() : endpoint;
    if (auto *existing = home->findChild<Lingerer *>(QString(), Qt::FindDirectChildrenOnly))
        return existing;
    return new Lingerer(home);
}

void Lingerer::add(int fd, Outgoing outgoing, bool peerClosed)
{
    auto c = std::make_unique<Closing>();
    c->fd = fd;
    c->outgoing = std::move(outgoing);
    c->peerClosed = peerClosed;
    c->since = m_clock.elapsed();
    Closing *raw = c.get();
    c->reader = std::make_unique<QSocketNotifier>(QSocketNotifier::Read);
    c->writer = std::make_unique<QSocketNotifier>(QSocketNotifier::Write);
    c->reader->setSocket(fd);
    c->writer->setSocket(fd);
    c->reader->setEnabled(!peerClosed);
    connect(c->reader.get(), &QSocketNotifier::activated, this, [this, raw] { onReadable(raw); });
    connect(c->writer.get(), &QSocketNotifier::activated, this, [this, raw] { onWritable(raw); });
    m_closing.push_back(std::move(c));
    if (!m_sweep.isActive())
        m_sweep.start();
    onWritable(raw);
}

void Lingerer::onReadable(Closing *c)
{
    if (m_clock.elapsed() - c->since >= DrainMs) {
        c->reader->setEnabled(false);
        return;
    }
    if (m_scratch.isEmpty())
        m_scratch.resize(64 * 1024);
    const ssize_t n = ::recv(c->fd, m_scratch.data(), static_cast<size_t>(m_scratch.size()), 0);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
        return; // thrown away
    if (n < 0) {
        finish(c, false); // reset: nothing can be delivered any more
        return;
    }
    c->peerClosed = true;
    c->reader->setEnabled(false);
    if (c->finished)
        finish(c, false);
}

void Lingerer::onWritable(Closing *c)
{
    int error = 0;
    switch (c->outgoing.flush(c->fd, error)) {
    case Outgoing::Result::Blocked:
        c->writer->setEnabled(true);
        return;
    case Outgoing::Result::Failed:
        finish(c, false);
        return;
    case Outgoing::Result::Done:
        break;
    }
    c->writer->setEnabled(false);
    c->finished = true;
    ::shutdown(c->fd, SHUT_WR);
    // With the peer's end read too, closing is orderly: the kernel still sends what it holds.
    if (c->peerClosed)
        finish(c, false);
}

void Lingerer::sweep()
{
    const qint64 now = m_clock.elapsed();
    std::vector<Closing *> done;
    for (const std::unique_ptr<Closing> &c : m_closing) {
        const qint64 age = now - c->since;
        if (age >= LingerTimeoutMs) {
            done.push_back(c.get());
            continue;
        }
        if (age < DrainMs)
            continue;
        c->reader->setEnabled(false);
        int unacknowledged = 0;
        if (c->finished && ::ioctl(c->fd, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0)
            done.push_back(c.get());
    }
    for (Closing *c : done)
        finish(c, now - c->since >= LingerTimeoutMs);
    if (m_closing.empty())
        m_sweep.stop();
}

void Lingerer::finish(Closing *c, bool reset)
{
    const auto it = std::find_if(m_closing.begin(), m_closing.end(),
        [c](const std::unique_ptr<Closing> &p) { return p.get() == c; });
    if (it == m_closing.end())
        return;
    std::unique_ptr<Closing> gone = std::move(*it);
    m_closing.erase(it);
    gone->reader->setEnabled(false);
    gone->writer->setEnabled(false);
    if (reset) {
        const linger hard { 1, 0 };
        ::setsockopt(gone->fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(gone->fd);
    // This may run inside one of the notifiers' own signals.
    gone->reader.release()->deleteLater();
    gone->writer.release()->deleteLater();
}

} // namespace net

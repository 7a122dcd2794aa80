#include "reactor.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace net {

void Socket::close()
{
    if (m_fd < 0)
        return;
    m_set = nullptr; // the kernel takes it out of the set
    ::close(std::exchange(m_fd, -1));
}

Reactor::Reactor(QObject *parent) : QObject(parent), m_epoll(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_epoll < 0)
        qFatal("epoll_create1 failed: %s", qPrintable(qt_error_string(errno)));
    m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &Reactor::dispatch);
}

Reactor::~Reactor()
{
    delete m_notifier; // before its descriptor goes
    ::close(m_epoll);
}

void Reactor::Watch::watch(Socket &socket, std::uint32_t interest)
{
    const bool ours = m_socket == &socket && socket.m_set == &m_reactor;
    if (ours && m_events == interest)
        return;
    if (m_socket && !ours)
        unwatch();
    const bool inSet = socket.m_set == &m_reactor;
    const std::uint64_t ticket = ours ? m_ticket : m_reactor.enlist(*this);
    epoll_event e {};
    e.events = interest;
    e.data.u64 = ticket;
    if (::epoll_ctl(m_reactor.m_epoll, inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, socket.m_fd, &e)
        != 0) {
        const int error = errno;
        qWarning(
            "Reactor: cannot watch socket %d: %s", socket.m_fd, qPrintable(qt_error_string(error)));
        if (!ours)
            m_reactor.release(ticket);
        return;
    }
    socket.m_set = &m_reactor;
    m_socket = &socket;
    m_events = interest;
    m_ticket = ticket;
}

void Reactor::Watch::unwatch()
{
    if (!m_socket)
        return;
    if (m_socket->m_set == &m_reactor)
        m_reactor.remove(*m_socket);
    m_reactor.forget(*this);
}

void Reactor::Watch::letGo()
{
    m_reactor.forget(*this);
}

Socket Reactor::Watch::handOver()
{
    if (!m_socket)
        return {};
    Socket socket = std::move(*m_socket);
    m_reactor.forget(*this);
    return socket;
}

void Reactor::remove(Socket &socket)
{
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket.m_fd, nullptr);
    socket.m_set = nullptr;
}

std::uint64_t Reactor::enlist(Watch &watch)
{
    std::uint32_t index = 0;
    if (m_spare.empty()) {
        index = static_cast<std::uint32_t>(m_entries.size());
        m_entries.emplace_back();
    } else {
        index = m_spare.back();
        m_spare.pop_back();
    }
    Entry &entry = m_entries[index];
    entry.watch = &watch;
    return std::uint64_t(entry.round) << 32 | index;
}

void Reactor::forget(Watch &watch)
{
    if (watch.m_socket)
        release(watch.m_ticket);
    watch.m_socket = nullptr;
    watch.m_events = 0;
}

void Reactor::release(std::uint64_t ticket)
{
    // The ticket is void from now on, for whatever the batch being delivered still holds.
    const auto index = static_cast<std::uint32_t>(ticket);
    Entry &entry = m_entries[index];
    entry.watch = nullptr;
    ++entry.round;
    m_spare.push_back(index);
}

Reactor::Watch *Reactor::holder(std::uint64_t ticket) const
{
    const auto index = static_cast<std::uint32_t>(ticket);
    if (index >= m_entries.size())
        return nullptr;
    const Entry &entry = m_entries[index];
    return entry.round == static_cast<std::uint32_t>(ticket >> 32) ? entry.watch : nullptr;
}

void Reactor::dispatch()
{
    // A handler that spins a nested event loop (a modal dialog) must not start a second batch
    // over this one; the set is level-triggered, so what is left is reported again afterwards.
    if (m_batchSize > 0)
        return;
    // What the handlers' work set in motion (a destination's answer, a client's next request)
    // is often ready before they return: up to BatchesPerWake batches are taken in one wake-up,
    // each costing one epoll_wait instead of a turn of the whole event loop.
    for (int round = 0; round < BatchesPerWake; ++round) {
        int n = 0;
        do
            n = ::epoll_wait(m_epoll, m_batch.data(), static_cast<int>(m_batch.size()), 0);
        while (n < 0 && errno == EINTR);
        m_batchSize = std::max(n, 0);
        if (m_batchSize == 0)
            break;
        deliverBatch();
    }
    m_batchSize = 0;
}

void Reactor::deliverBatch()
{
    bool later = false;
    for (int k = 0; k < m_batchSize; ++k) {
        const epoll_event &e = m_batch[static_cast<size_t>(k)];
        if (const Watch *w = holder(e.data.u64); w && w->m_last)
            later = true;
        else
            deliver(e);
    }
    for (int k = 0; later && k < m_batchSize; ++k) {
        const epoll_event &e = m_batch[static_cast<size_t>(k)];
        if (const Watch *w = holder(e.data.u64); w && w->m_last)
            deliver(e);
    }
}

void Reactor::deliver(const epoll_event &e)
{
    constexpr std::uint32_t trouble = EPOLLERR | EPOLLHUP;
    const std::uint32_t got = e.events;
    m_readiness = got;
    // Each handler may stop watching any socket (voiding its ticket in this batch) or change
    // what it waits for, so both are looked at again before each call.
    Watch *w = holder(e.data.u64);
    if (w && (w->m_events & EPOLLOUT) && (got & (EPOLLOUT | trouble)))
        w->m_watcher->socketReady(true);
    w = holder(e.data.u64);
    if (w && (got & (trouble | (w->m_events & (EPOLLIN | EPOLLRDHUP)))))
        w->m_watcher->socketReady(false);
}

} // namespace net

#include "relay.h"

#include "acl/logins.h"

#include <algorithm>

namespace relay {

Relay::Relay(const acl::AllowList &allowed, QObject *parent)
    : QObject(parent), m_allowed(allowed), m_resolver(m_hostResolver)
{
    start();
}

Relay::Relay(const acl::AllowList &allowed, net::Resolver &resolver, QObject *parent)
    : QObject(parent), m_allowed(allowed), m_resolver(resolver)
{
    start();
}

void Relay::start()
{
    m_sweep.setTimerType(Qt::CoarseTimer);
    m_sweep.setInterval(m_timeouts.sweep);
    connect(&m_sweep, &QTimer::timeout, this, &Relay::sweep);
    m_listener.setConnectionRequest(
        [this](net::Incoming request) { wsListener_ConnectionRequest(std::move(request)); });
    connect(&m_listener, &net::Listener::Error, this, &Relay::wsListener_Error);
    for (int i = 0; i < SlotCount; ++i) {
        m_slots.at(static_cast<size_t>(i)) =
            std::make_unique<Slot>(i, m_reactor, m_lingerer, m_resolver, m_access);
        connect(&slot(i), &Slot::Reported, this, &Relay::slotReported);
        connect(&slot(i), &Slot::Freed, this, &Relay::slotFreed);
    }
}

Relay::~Relay() = default;

int Relay::busySlots() const
{
    int busy = 0;
    for (int i = 0; i < SlotCount; ++i)
        busy += slot(i).isFree() ? 0 : 1;
    return busy;
}

void Relay::setTimeouts(const Timeouts &timeouts)
{
    m_timeouts = timeouts;
    m_sweep.setInterval(timeouts.sweep);
    net::Lingerer::Limits limits = m_lingerer.limits();
    limits.idle = timeouts.linger;
    m_lingerer.setLimits(limits);
    for (const std::unique_ptr<Slot> &s : m_slots)
        s->setUdpIdleLimit(timeouts.udpIdle);
}

// --- Events, counts and the snapshot --------------------------------------------------------

void Relay::slotReported(const Event &event)
{
    switch (event.kind) {
    case Event::Kind::ConnectionRequest:
        ++m_totals.served;
        break;
    case Event::Kind::Refused:
    case Event::Kind::NotAllowed:
        ++m_totals.refused;
        break;
    case Event::Kind::OutboundError:
        ++m_totals.failed;
        break;
    case Event::Kind::Ended:
        if (event.slot < 0 && event.reason == EndReason::Refused)
            ++m_totals.refused; // a stranger that did not log in
        ended(event);
        break;
    default:
        break;
    }
    Q_EMIT Reported(event);
}

void Relay::ended(const Event &event)
{
    m_totals.bytesUp += event.info.bytesUp;
    m_totals.bytesDown += event.info.bytesDown;
    EndedConnection ending { event.info, WallClock::now(), event.reason, event.refusal,
        event.error };
    if (m_recent.size() < size_t(Snapshot::RecentCount)) {
        m_recent.push_back(std::move(ending));
        return;
    }
    m_recent[m_recentNext] = std::move(ending);
    m_recentNext = (m_recentNext + 1) % m_recent.size();
}

Snapshot Relay::snapshot() const
{
    Snapshot now;
    now.connections.reserve(size_t(SlotCount) + m_waiting.size());
    now.totals = m_totals;
    for (int i = 0; i < SlotCount; ++i) {
        if (slot(i).isFree())
            continue;
        now.connections.push_back(slot(i).info());
        now.totals.bytesUp += now.connections.back().bytesUp;
        now.totals.bytesDown += now.connections.back().bytesDown;
    }
    for (const Waiting &waiting : m_waiting)
        now.connections.push_back(waiting.info);
    // Oldest first: once the ring is full, the oldest is the one to be replaced next.
    now.recent.reserve(m_recent.size());
    now.recent.insert(now.recent.end(), m_recent.begin() + qsizetype(m_recentNext), m_recent.end());
    now.recent.insert(
        now.recent.end(), m_recent.begin(), m_recent.begin() + qsizetype(m_recentNext));
    return now;
}

void Relay::Disconnect(quint64 id)
{
    for (int i = 0; i < SlotCount; ++i) {
        if (!slot(i).isFree() && slot(i).id() == id) {
            slot(i).closeFor(EndReason::Disconnected);
            return;
        }
    }
    for (const Waiting &waiting : m_waiting) {
        if (waiting.info.id == id) {
            forget(waiting.connection.get(), EndReason::Disconnected);
            return;
        }
    }
}

// --- Admission and the line of waiting clients ----------------------------------------------

void Relay::wsListener_ConnectionRequest(net::Incoming request)
{
    const bool users = m_access.logins && m_access.logins->hasUsers();
    if (!m_allowed.admits(request.host)) {
        if (users)
            welcomeStranger(std::move(request));
        return; // else closed by the listener, unanswered and unlogged
    }
    const ConnectionInfo client = arrival(request);
    serveOrQueue(std::move(request.socket), client, {},
        users ? Handshake::Auth::Listed : Handshake::Auth::Open);
}

void Relay::serveOrQueue(
    net::Socket socket, ConnectionInfo client, const QByteArray &received, Handshake::Auth auth)
{
    // A slot freed earlier in this turn goes to the line first, as it would have a moment later.
    if (m_servePosted)
        serveWaiting();
    if (m_waiting.empty()) {
        for (int i = 0; i < SlotCount; ++i) {
            if (slot(i).isFree()) {
                admit(i, std::move(socket), std::move(client), received, auth);
                return;
            }
        }
    }
    // Every slot is busy (or others are already waiting): wait in line, unanswered. Past the
    // line's length the request is closed.
    if (m_waiting.size() >= MaxWaiting)
        return;
    const QHostAddress host = client.client;
    auto waiting = std::make_unique<net::PendingConnection>(m_reactor, std::move(socket), host);
    net::PendingConnection *raw = waiting.get();
    connect(raw, &net::PendingConnection::Closed, this,
        [this, raw] { forget(raw, EndReason::ClientClosed); });
    client.state = ConnectionState::Waiting;
    m_waiting.push_back({ std::move(waiting), std::move(client), auth, received });
    if (!m_sweep.isActive())
        m_sweep.start(); // idle connections may have to make room
}

void Relay::welcomeStranger(net::Incoming request)
{
    if (m_strangers.size() >= size_t(MaxStrangers))
        return; // closed at once
    auto stranger = std::make_unique<Stranger>(
        m_reactor, std::move(request.socket), arrival(request), *m_access.logins, m_timeouts.login);
    Stranger *raw = stranger.get();
    connect(raw, &Stranger::Reported, this, &Relay::slotReported);
    connect(raw, &Stranger::LoggedIn, this, [this, raw] { strangerGone(raw, true); });
    connect(raw, &Stranger::Finished, this, [this, raw] { strangerGone(raw, false); });
    m_strangers.push_back(std::move(stranger));
    if (!m_sweep.isActive())
        m_sweep.start(); // its time to log in runs out
}

void Relay::strangerGone(Stranger *stranger, bool loggedIn)
{
    const auto it = std::find_if(m_strangers.begin(), m_strangers.end(),
        [stranger](const auto &s) { return s.get() == stranger; });
    if (it == m_strangers.end())
        return;
    // Raised from inside its own handler: deleted once that has returned.
    it->release()->deleteLater();
    m_strangers.erase(it);
    if (!loggedIn)
        return;
    QByteArray received;
    net::Socket socket = stranger->take(received);
    serveOrQueue(std::move(socket), stranger->info(), received, stranger->auth());
}

ConnectionInfo Relay::arrival(const net::Incoming &request)
{
    ConnectionInfo info;
    info.id = ++m_lastId;
    info.client = request.host;
    info.clientPort = request.port;
    info.proxyPort = request.localPort;
    info.since = WallClock::now();
    return info;
}

void Relay::admit(int i, net::Socket socket, ConnectionInfo client, const QByteArray &received,
    Handshake::Auth auth)
{
    slot(i).Accept(std::move(socket), received, std::move(client), auth);
    if (!m_sweep.isActive())
        m_sweep.start();
}

void Relay::slotFreed()
{
    // The freed slot goes to the longest-waiting client, once this event is done with.
    if (!m_waiting.empty() && !m_servePosted) {
        m_servePosted = true;
        QMetaObject::invokeMethod(this, &Relay::serveWaiting, Qt::QueuedConnection);
    }
}

void Relay::serveWaiting()
{
    m_servePosted = false;
    for (int i = 0; i < SlotCount && !m_waiting.empty(); ++i) {
        if (!slot(i).isFree())
            continue;
        Waiting waiting = std::move(m_waiting.front());
        m_waiting.pop_front();
        QByteArray received;
        net::Socket socket = waiting.connection->take(received);
        admit(i, std::move(socket), std::move(waiting.info), waiting.received + received,
            waiting.auth);
    }
}

void Relay::forget(net::PendingConnection *waiting, EndReason reason)
{
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
        [waiting](const Waiting &w) { return w.connection.get() == waiting; });
    if (it == m_waiting.end())
        return;
    // Maybe raised from inside its own handler: deleted once that has returned.
    it->connection.release()->deleteLater();
    Event gone { Event::Kind::Ended, -1, std::move(it->info), {}, reason, Refusal::None };
    gone.info.state = ConnectionState::Closing;
    m_waiting.erase(it);
    ended(gone);
    Q_EMIT Reported(gone);
}

void Relay::wsListener_Error(const QString &description)
{
    Q_EMIT Reported(Event { Event::Kind::ListenerError, -1, {}, description, {}, {} });
}

// --- The sweep: time limits and room for waiting clients ------------------------------------

void Relay::sweep()
{
    const auto now = Slot::Clock::now();
    bool watching = !m_waiting.empty() || !m_strangers.empty();
    // Those out of time to log in end, each through its own Finished (which forgets it).
    std::vector<Stranger *> strangers;
    for (const auto &s : m_strangers)
        strangers.push_back(s.get());
    for (Stranger *s : strangers)
        s->expireIfLate(now);
    int freeSlots = 0;
    for (int i = 0; i < SlotCount; ++i) {
        Slot &s = slot(i);
        const auto age = now - s.since();
        if (s.isFree()) {
            ++freeSlots;
        } else if (s.phase() == Slot::Phase::Requesting && age >= m_timeouts.request) {
            s.closeFor(EndReason::RequestTimeout);
            ++freeSlots;
        } else if (s.phase() == Slot::Phase::Connecting && age >= m_timeouts.connect) {
            s.connectTimedOut();
            ++freeSlots;
        } else if (s.phase() == Slot::Phase::Relaying) {
            s.takeActive(now);
        } else {
            watching = true;
        }
    }
    makeRoom(freeSlots, now);
    // Nothing left to watch: stop until the next admission or the next waiting client.
    if (!watching)
        m_sweep.stop();
}

void Relay::makeRoom(int freeSlots, Slot::Clock::time_point now)
{
    const qsizetype wanted = static_cast<qsizetype>(m_waiting.size()) - freeSlots;
    if (wanted <= 0)
        return;
    std::array<int, SlotCount> idle {};
    qsizetype count = 0;
    for (int i = 0; i < SlotCount; ++i) {
        const Slot &s = slot(i);
        if (s.phase() == Slot::Phase::Relaying && now - s.since() >= m_timeouts.idle
            && !s.hasQueued())
            idle.at(static_cast<size_t>(count++)) = i;
    }
    // The longest idle goes first, one for each client that has no slot to go to.
    std::stable_sort(idle.begin(), idle.begin() + count,
        [this](int a, int b) { return slot(a).since() < slot(b).since(); });
    for (qsizetype k = 0; k < std::min(count, wanted); ++k)
        slot(idle.at(static_cast<size_t>(k))).closeFor(EndReason::IdleForWaiting);
}

} // namespace relay

#pragma once

#include "reactor.h"
#include "sockaddr.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QHostInfo;
QT_END_NAMESPACE

namespace net {

class Resolver;

/// Opens one outgoing connection: looks a host name up without blocking (the Resolver it is
/// given), then tries each address in the order the resolver gave them, with a non-blocking
/// connect() watched by the reactor, until one answers. A refused or unreachable attempt moves
/// on to the next address; the caller bounds the whole (the relay's connect limit) by calling
/// abort().
class Connector final : public QObject, private Reactor::Watcher
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Connector)

public:
    /// Which addresses of a name are tried.
    enum class Families { IPv4Only, Any };

    Connector(Reactor &reactor, Resolver &resolver, QObject *parent = nullptr);
    ~Connector() override;

    /// Starts connecting; Connected() or Failed() follows, from the event loop, never from
    /// within this call. A connection under way is abandoned first.
    void connectTo(const QHostAddress &address, quint16 port);
    void connectTo(const QString &hostName, quint16 port, Families families);
    /// Abandons the connection under way (a lookup is given up); nothing more is raised for it.
    void abort();
    /// The connected socket, handed over with its registration; only within Connected(). One
    /// not taken there is closed when the handler returns.
    Socket takeSocket() { return m_watch.handOver(); }
    /// The address being tried, or within Connected() the one connected to.
    const SocketAddress &attempt() const { return m_attempt; }

    /// errno-style code of a name that has no (usable) address.
    static constexpr int NameNotFound = -1;
    /// The code when every address was one the filter forbids.
    static constexpr int Forbidden = -2;

    /// Which addresses may be tried (resolved ones included); the others are skipped, never
    /// connected to. Every address when empty.
    using Filter = std::function<bool(const QHostAddress &address, quint16 port)>;
    void setFilter(Filter filter) { m_filter = std::move(filter); }
    /// The last address the filter forbade in this attempt; null when none.
    const QHostAddress &forbidden() const { return m_forbidden; }

Q_SIGNALS:
    /// The connection stands: takeSocket() hands it over.
    void Connected();
    /// No address answered. `error` is the errno of the last attempt (NameNotFound for a name
    /// without addresses); `description` is for people.
    void Failed(int error, const QString &description);

private:
    void start(quint16 port);
    void lookedUp(const QHostInfo &info);
    void tryNext();
    void socketReady(bool writable) override;
    void closeAttempt();
    void failLater(int error, const QString &description);

    Reactor &m_reactor;
    Resolver &m_resolver;
    Socket m_socket;
    Reactor::Watch m_watch { m_reactor, this };
    QList<QHostAddress> m_addresses; ///< still to try, in order
    int m_lookupId = -1;
    Families m_families = Families::Any;
    Filter m_filter;
    QHostAddress m_forbidden;
    quint16 m_port = 0;
    SocketAddress m_attempt;
    int m_lastError = 0;
    quint64 m_generation = 0;
};

} // namespace net

#pragma once

#include "net/endpoint.h"

#include <QByteArray>
#include <QObject>
#include <array>
#include <functional>
#include <memory>

namespace relay {

/// The SOCKS4 proxy: the listening endpoint, sixteen slots of a client endpoint (wsProxy) and a
/// destination endpoint (wsOutbound), admission, the handshake, relaying and teardown. Every
/// event is logged through LogLine; the relay never touches a widget.
class Relay final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Relay)

public:
    static constexpr int SlotCount = 16;
    /// Client bytes held while the destination is still connecting; past this the client's
    /// reading pauses until the grant.
    static constexpr qsizetype EarlyDataLimit = 64 * 1024;
    /// Flow control: a side stops being read while the other side's send queue is above
    /// PauseAbove, and is read again once that queue is down to ResumeBelow.
    static constexpr qint64 PauseAbove = 256 * 1024;
    static constexpr qint64 ResumeBelow = 64 * 1024;
    /// Tells whether a client address is on the allow-list (asked at every connection request).
    using AdmitFn = std::function<bool(const QString &address)>;

    explicit Relay(AdmitFn admits, QObject *parent = nullptr);
    ~Relay() override;

    net::Endpoint &wsListener() { return m_listener; }
    net::Endpoint &wsProxy(int i);
    net::Endpoint &wsOutbound(int i);

Q_SIGNALS:
    void LogLine(const QString &line);

private:
    struct Slot;

    void wsListener_ConnectionRequest(qintptr requestID);
    void wsListener_Close();
    void wsListener_Connect();
    void wsListener_Error(const QString &description);

    void wsProxy_DataArrival(int i, qint64 bytesTotal);
    void HandleRequest(int i, const QByteArray &chunk);
    void wsOutbound_Connect(int i);

    void wsOutbound_DataArrival(int i, qint64 bytesTotal);
    void wsProxy_Close(int i);
    void wsOutbound_Close(int i);
    void wsProxy_Error(int i, const QString &description);
    void wsOutbound_Error(int i, const QString &description);
    void wsProxy_Connect(int i);

    void closeSlot(int i);
    void forward(net::Endpoint &from, net::Endpoint &to, qint64 bytesTotal);
    void logSlot(const char *side, int i, const QString &text);

    AdmitFn m_admits;
    net::Endpoint m_listener;
    std::unique_ptr<std::array<Slot, SlotCount>> m_slots;
};

} // namespace relay

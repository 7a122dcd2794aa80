#pragma once

#include <QTcpServer>

namespace net {

class Endpoint;

/// The listening socket behind a listening Endpoint: hands each new connection's descriptor
/// to the endpoint before Qt wraps it, so admission happens before anything is kept.
class ListenServer final : public QTcpServer
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ListenServer)

public:
    explicit ListenServer(Endpoint *owner);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    Endpoint *m_owner;
};

} // namespace net

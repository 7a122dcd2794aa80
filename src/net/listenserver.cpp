#include "listenserver.h"

#include "endpoint.h"

namespace net {

ListenServer::ListenServer(Endpoint *owner) : QTcpServer(owner), m_owner(owner) { }

void ListenServer::incomingConnection(qintptr descriptor)
{
    m_owner->onIncoming(descriptor);
}

} // namespace net

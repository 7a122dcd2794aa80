#include "relay.h"

namespace relay {

Relay::Relay(AdmitFn admits, QObject *parent)
    : QObject(parent)
    , m_admits(std::move(admits))
    , m_listener(this)
{
    for (int i = 0; i < SlotCount; ++i) {
        m_proxy.at(static_cast<size_t>(i)) = new net::Endpoint(this);
        m_outbound.at(static_cast<size_t>(i)) = new net::Endpoint(this);
    }
}

Relay::~Relay() = default;

} // namespace relay

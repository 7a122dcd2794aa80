#pragma once

#include "portmapper.h"

#include <QByteArray>
#include <memory>

namespace portmap {

/// PortMapper on libminiupnpc. Every call finds the gateway afresh and frees everything before
/// it returns, so nothing about the gateway outlives a call.
class UpnpMapper final : public PortMapper
{
public:
    /// With an empty rootDescUrl the gateway is discovered over SSDP (about 2 s with a gateway,
    /// up to 8 s on a LAN without one); otherwise its root description is fetched from that URL
    /// directly, which lets tests talk to a known gateway without the discovery wait.
    explicit UpnpMapper(QByteArray rootDescUrl = {});

    Outcome add(quint16 port) override;
    Outcome remove(quint16 port) override;

private:
    QByteArray m_rootDescUrl;
};

/// The real mapper, built on libminiupnpc; discovers the gateway afresh for every call.
std::unique_ptr<PortMapper> makeUpnpMapper();

} // namespace portmap

#pragma once

// What the real-gateway tests share: the check that discovery can reach nothing but what the
// test set up, and a look at the mappings the fixture's gateway (igd-fixture.sh) holds.

#include <QByteArray>
#include <QNetworkInterface>
#include <QString>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

namespace gatewayprobe {

/// This host's address in the fixture's LAN namespace.
inline const QString LanAddress = QStringLiteral("192.168.77.2");

/// The fixture gateway's root description, set by `igd-fixture.sh exec|run`.
inline QByteArray rootDescUrl()
{
    return qgetenv("IGD_FIXTURE_ROOTDESC");
}

/// Whether discovery can reach nothing but what the test set up. With `fixtureLan`: the only
/// interface up besides loopback is the fixture's lan0 with its address. Without: nothing but
/// loopback is up (`unshare -n`).
inline bool isolated(bool fixtureLan)
{
    bool lan = false;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp)
            || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        if (!fixtureLan || iface.name() != QStringLiteral("lan0"))
            return false;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            lan = lan || entry.ip().toString() == LanAddress;
    }
    return !fixtureLan || (lan && !rootDescUrl().isEmpty());
}

/// What the gateway itself holds for a TCP port, asked over SOAP at its known address:
/// "client:internal-port description" when mapped, otherwise the error code ("714": none).
inline QString gatewayEntry(quint16 port)
{
    UPNPUrls urls {};
    IGDdatas data {};
    char lanaddr[64] = {};
    if (UPNP_GetIGDFromUrl(rootDescUrl().constData(), &urls, &data, lanaddr, sizeof lanaddr) != 1)
        return QStringLiteral("no gateway");
    char client[16] = {}, internalPort[6] = {}, description[80] = {}, enabled[4] = {},
         lease[16] = {};
    const int result = UPNP_GetSpecificPortMappingEntry(urls.controlURL, data.first.servicetype,
        QByteArray::number(port).constData(), "TCP", nullptr, client, internalPort, description,
        enabled, lease);
    FreeUPNPUrls(&urls);
    if (result != 0)
        return QString::number(result);
    return QString::asprintf("%s:%s %s", client, internalPort, description);
}

} // namespace gatewayprobe

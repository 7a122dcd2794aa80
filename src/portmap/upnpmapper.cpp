#include "upnpmapper.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <string>
#include <utility>

namespace portmap {

namespace {

// UPnP error the gateway answers when the mapping to delete does not exist.
constexpr int NoSuchEntryInArray = 714;

// How long SSDP discovery listens for answers, in ms.
constexpr int DiscoveryDelayMs = 2000;

Outcome refused(int code)
{
    const char *text = strupnperror(code);
    return { Outcome::Refused, code,
        text ? QString::fromUtf8(text) : QStringLiteral("UnknownError") };
}

/// The gateway found for one call; frees the library's URLs on every path out.
class Gateway
{
public:
    Gateway() = default;
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;
    ~Gateway()
    {
        if (m_found)
            FreeUPNPUrls(&m_urls);
    }

    /// Finds the gateway by SSDP, or from its root description when rootDescUrl is set.
    bool find(const QByteArray &rootDescUrl)
    {
        if (!rootDescUrl.isEmpty()) {
            m_found = UPNP_GetIGDFromUrl(
                          rootDescUrl.constData(), &m_urls, &m_data, m_lanaddr, sizeof m_lanaddr)
                == 1;
            return m_found;
        }

        int error = 0;
        // "" instead of NULL for the minissdpd socket: NULL would ask a minissdpd on the host,
        // which may answer for devices on another network than the one we are on.
        UPNPDev *devices =
            upnpDiscover(DiscoveryDelayMs, nullptr, "", UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (!devices)
            return false;
#if MINIUPNPC_API_VERSION >= 18
        char wanaddr[64] = {};
        const int status = UPNP_GetValidIGD(
            devices, &m_urls, &m_data, m_lanaddr, sizeof m_lanaddr, wanaddr, sizeof wanaddr);
        freeUPNPDevlist(devices);
        if (status != 0 && status != -1)
            m_found = true; // URLs were filled in and must be freed, even if we do not use them
        // 1 connected, 2 connected with a reserved external address, 3 not connected,
        // 4 a UPnP device that is not a gateway.
        return m_found && status >= 1 && status <= 3;
#else
        const int status = UPNP_GetValidIGD(devices, &m_urls, &m_data, m_lanaddr, sizeof m_lanaddr);
        freeUPNPDevlist(devices);
        if (status != 0 && status != -1)
            m_found = true;
        // 1 connected gateway with a public external address. 2 is a gateway that reports itself
        // not connected or whose external address is private (a router behind another NAT or a
        // carrier-grade NAT): we still ask it, since such a router does forward from its own WAN
        // side, and if it cannot it refuses the call and the operator reads its reason
        // ("UPnP Error: 501 ActionFailed") instead of being told there is no gateway.
        // 3 is a UPnP device that is not a gateway at all.
        return m_found && (status == 1 || status == 2);
#endif
    }

    const char *controlUrl() const
    {
        return m_urls.controlURL;
    }
    const char *serviceType() const
    {
        return m_data.first.servicetype;
    }
    const char *lanAddress() const
    {
        return m_lanaddr;
    }

private:
    UPNPUrls m_urls {};
    IGDdatas m_data {};
    char m_lanaddr[64] = {};
    bool m_found = false;
};

} // namespace

UpnpMapper::UpnpMapper(QByteArray rootDescUrl) : m_rootDescUrl(std::move(rootDescUrl)) { }

Outcome UpnpMapper::add(quint16 port)
{
    Gateway gateway;
    if (!gateway.find(m_rootDescUrl))
        return { Outcome::NoDevice, 0, {} };

    const std::string portText = std::to_string(port);
    // The gateway only accepts mappings to the address the request comes from, which is the
    // local address the library used to reach it.
    const std::string description = std::string("SOCKS/") + gateway.lanAddress();
    const int result =
        UPNP_AddPortMapping(gateway.controlUrl(), gateway.serviceType(), portText.c_str(),
            portText.c_str(), gateway.lanAddress(), description.c_str(), "TCP", nullptr, "0");
    if (result != UPNPCOMMAND_SUCCESS)
        return refused(result);
    return {};
}

Outcome UpnpMapper::remove(quint16 port)
{
    Gateway gateway;
    if (!gateway.find(m_rootDescUrl))
        return { Outcome::NoDevice, 0, {} };

    const std::string portText = std::to_string(port);
    const int result = UPNP_DeletePortMapping(
        gateway.controlUrl(), gateway.serviceType(), portText.c_str(), "TCP", nullptr);
    // A mapping that is already gone is as good as removed; some gateways say 714 for it,
    // others report success.
    if (result != UPNPCOMMAND_SUCCESS && result != NoSuchEntryInArray)
        return refused(result);
    return {};
}

std::unique_ptr<PortMapper> makeUpnpMapper()
{
    return std::make_unique<UpnpMapper>();
}

} // namespace portmap

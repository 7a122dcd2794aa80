#pragma once

#include <QString>

namespace portmap {

/// What one call to the gateway came to.
struct Outcome
{
    enum Kind { Done, NoDevice, Refused };
    Kind kind = Done;
    int code = 0; ///< the gateway's or library's code when Refused
    QString text; ///< its text when Refused
};

/// Talks to the LAN's UPnP Internet gateway. Calls block (discovery takes seconds), so they are
/// only ever made on the port-mapping worker thread. Tests replace it with a double.
class PortMapper
{
public:
    virtual ~PortMapper() = default;
    /// Maps external port = internal port = port, TCP, to this host's LAN address, described
    /// as "SOCKS/" + that address, with a permanent lease.
    virtual Outcome add(quint16 port) = 0;
    /// Removes the TCP mapping of port. A mapping already gone counts as Done.
    virtual Outcome remove(quint16 port) = 0;
};

} // namespace portmap

#pragma once

#include "relay/events.h"

#include <QString>

/// The words for what the relay reports: each event's status line, as the log has always
/// written it. Pure functions.
namespace ui {

/// The event's status line ("Proxy [3] Connection Closed"); empty for a kind that has no line
/// of its own (Ended). Text that came from the network is escaped (escapeControls).
QString logLine(const relay::Event &event);
/// "host:port" as a request line shows it: a dotted IPv4 address, an IPv6 address in brackets
/// in its RFC 5952 form ("[2001:db8::1]"), or the name as sent (Latin-1), escaped.
QString destinationText(const relay::Destination &to);
/// Why the handshake refused a client ("Invalid host name").
QString refusalText(relay::Refusal refusal);

} // namespace ui

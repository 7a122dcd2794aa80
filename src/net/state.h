#pragma once

#include <QtGlobal>

namespace net {

/// Where a listener or a stream stands, with the numbers and names of a Winsock control; the
/// relay tests only sckClosed and sckConnected.
enum StateValue : qint16 {
    sckClosed = 0, ///< ready to listen, accept or connect
    sckListening = 2,
    sckConnected = 7,
    sckClosing = 8, ///< the peer has ended its sending; ours may go on
    sckError = 9, ///< reset or failed: nothing more can be sent or received
};

} // namespace net

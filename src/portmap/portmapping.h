#pragma once

#include "portmapper.h"

#include <QObject>
#include <memory>

QT_BEGIN_NAMESPACE
class QThread;
QT_END_NAMESPACE

namespace portmap {

namespace detail {
class MappingWorker;
}

/// Maps the listening port on the gateway without ever making the window or the relay wait:
/// calls run on one worker thread, strictly in the order they were asked for, and their log lines
/// come back as LogLine on the thread that owns this object.
///
/// A refused call logs "UPnP Error: " + the code + " " + its text, for example
/// "UPnP Error: 718 ConflictInMappingEntry" (negative codes are the library's own, such as
/// "UPnP Error: -3 Miniupnpc HTTP error" for a gateway that does not answer).
class PortMapping final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PortMapping)

public:
    explicit PortMapping(std::unique_ptr<PortMapper> mapper, QObject *parent = nullptr);
    /// Never waits for the gateway: a worker still stuck in a call is left to finish on its own.
    ~PortMapping() override;

    /// Maps port; logs "UPnP Enabled on N.", "Could not detect UPnP device" or "UPnP Error: ...".
    void AddUPnP(quint16 port);
    /// Removes the mapping the last AddUPnP asked for (whatever the port box says now);
    /// logs "UPnP Disabled on N.", "Could not detect UPnP device" or "UPnP Error: ...".
    /// When the gateway refused that AddUPnP, nothing of ours is there: no call, no line.
    void RemoveUPnP();
    /// At exit: removes a mapping this program still holds, waiting at most timeoutMs for the
    /// queue to finish. Returns false if the gateway did not answer in time. AddUPnP calls not
    /// yet started are dropped; later AddUPnP calls do nothing.
    bool shutdown(int timeoutMs);

Q_SIGNALS:
    void LogLine(const QString &line);

private:
    QThread *m_thread = nullptr; ///< ends gracefully in the destructor, or is left to end alone
    detail::MappingWorker *m_worker = nullptr; ///< lives on m_thread, deleted when it finishes
    bool m_gaveUp = false; ///< shutdown ran out of time: the destructor does not wait again
};

} // namespace portmap

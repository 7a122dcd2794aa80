#pragma once

#include "portmapper.h"

#include <QObject>
#include <memory>

namespace portmap {

/// Maps the listening port on the gateway without ever making the window or the relay wait:
/// calls run on one worker thread, strictly in the order they were asked for, and their log lines
/// come back as LogLine on the thread that owns this object.
class PortMapping final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PortMapping)

public:
    explicit PortMapping(std::unique_ptr<PortMapper> mapper, QObject *parent = nullptr);
    ~PortMapping() override;

    /// Maps port; logs "UPnP Enabled on N.", "Could not detect UPnP device" or "UPnP Error: ...".
    void AddUPnP(quint16 port);
    /// Removes the mapping the last AddUPnP asked for (whatever the port box says now);
    /// logs "UPnP Disabled on N.", "Could not detect UPnP device" or "UPnP Error: ...".
    void RemoveUPnP();
    /// At exit: removes a mapping this program still holds, waiting at most timeoutMs for the
    /// queue to finish. Returns false if the gateway did not answer in time.
    bool shutdown(int timeoutMs);

Q_SIGNALS:
    void LogLine(const QString &line);

private:
    class Worker;
    std::unique_ptr<Worker> m_worker;
};

/// The real mapper, built on libminiupnpc.
std::unique_ptr<PortMapper> makeUpnpMapper();

} // namespace portmap

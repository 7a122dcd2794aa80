#pragma once

#include <QHostInfo>
#include <QObject>

#include <functional>
#include <map>

namespace net {

/// Looks host names up without blocking. The relay is given one (the system's, or a table in
/// tests), never finds one itself.
class Resolver
{
public:
    using Answer = std::function<void(const QHostInfo &info)>;

    virtual ~Resolver() = default;
    /// Starts looking `name` up; `answer` is called later from the event loop, never from within
    /// this call, unless abort(id) comes first. Returns the lookup's id.
    virtual int lookup(const QString &name, Answer answer) = 0;
    /// Gives the lookup up: its answer is never called.
    virtual void abort(int id) = 0;
};

/// The system's resolver, through QHostInfo (its own threads; the answer comes back here).
class HostResolver final : public QObject, public Resolver
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HostResolver)

public:
    explicit HostResolver(QObject *parent = nullptr) : QObject(parent) { }
    ~HostResolver() override;

    int lookup(const QString &name, Answer answer) override;
    void abort(int id) override;

private Q_SLOTS:
    void onLookedUp(const QHostInfo &info);

private:
    std::map<int, Answer> m_waiting;
};

} // namespace net

#include "resolver.h"

namespace net {

HostResolver::~HostResolver()
{
    for (const auto &[id, answer] : m_waiting)
        QHostInfo::abortHostLookup(id);
}

int HostResolver::lookup(const QString &name, Answer answer)
{
    // Through a slot by name: a lookup still under way when the program ends then leaves
    // nothing of ours behind (a functor would stay allocated with the pending answer).
    const int id = QHostInfo::lookupHost(name, this, SLOT(onLookedUp(QHostInfo)));
    m_waiting.emplace(id, std::move(answer));
    return id;
}

void HostResolver::abort(int id)
{
    if (m_waiting.erase(id) > 0)
        QHostInfo::abortHostLookup(id);
}

void HostResolver::onLookedUp(const QHostInfo &info)
{
    const auto it = m_waiting.find(info.lookupId());
    if (it == m_waiting.end())
        return; // given up since
    const Answer answer = std::move(it->second);
    m_waiting.erase(it);
    answer(info);
}

} // namespace net

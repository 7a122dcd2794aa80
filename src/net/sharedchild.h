#pragma once

#include <QObject>

namespace net {

/// The T shared by `object` and its siblings: the first direct child of type T of the object's
/// parent (of the object itself when it has none), made there on first use.
template<typename T> T *sharedChild(QObject *object)
{
    QObject *home = object->parent() ? object->parent() : object;
    if (auto *existing = home->findChild<T *>(QString(), Qt::FindDirectChildrenOnly))
        return existing;
    return new T(home);
}

} // namespace net

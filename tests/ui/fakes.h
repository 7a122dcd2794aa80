#pragma once

#include "portmap/portmapper.h"
#include "ui/dialogs.h"

#include <QList>
#include <QMutex>
#include <QPair>
#include <QStringList>
#include <memory>

namespace fakes {

/// A gateway that says yes to everything, records the calls and never touches the network.
/// The calls come from the port-mapping thread, hence the lock.
class Gateway final : public portmap::PortMapper
{
public:
    struct Calls
    {
        QStringList get() const
        {
            QMutexLocker lock(&mutex);
            return list;
        }
        mutable QMutex mutex;
        QStringList list; ///< "add 1080", "remove 1080"
    };

    explicit Gateway(std::shared_ptr<Calls> calls) : m_calls(std::move(calls)) { }
    portmap::Outcome add(quint16 port) override { return record(u"add", port); }
    portmap::Outcome remove(quint16 port) override { return record(u"remove", port); }

private:
    portmap::Outcome record(QStringView what, quint16 port)
    {
        QMutexLocker lock(&m_calls->mutex);
        m_calls->list.append(what.toString() + u' ' + QString::number(port));
        return {};
    }
    std::shared_ptr<Calls> m_calls;
};

/// Answers the window's prompts from a script and records what it was shown.
class Dialogs final : public ui::Dialogs
{
public:
    struct Script
    {
        QStringList answers; ///< next prompt answers, in order
        bool yes = false; ///< the answer to every question
        QList<QPair<QString, QString>> prompts; ///< title, text
        QList<QPair<QString, QString>> criticals; ///< title, text
        QList<QPair<QString, QString>> questions; ///< title, text
        int beeps = 0;
    };

    explicit Dialogs(std::shared_ptr<Script> script) : m_script(std::move(script)) { }
    QString prompt(QWidget *, const QString &title, const QString &text) override
    {
        m_script->prompts.append({ title, text });
        return m_script->answers.isEmpty() ? QString() : m_script->answers.takeFirst();
    }
    void critical(QWidget *, const QString &title, const QString &text) override
    {
        m_script->criticals.append({ title, text });
    }
    bool question(QWidget *, const QString &title, const QString &text) override
    {
        m_script->questions.append({ title, text });
        return m_script->yes;
    }
    void beep() override { ++m_script->beeps; }

private:
    std::shared_ptr<Script> m_script;
};

} // namespace fakes

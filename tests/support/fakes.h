#pragma once

#include "portmap/portmapper.h"
#include "ui/dialogs.h"
#include "ui/frmmain.h"
#include "ui/statuslog.h"

#include <QDir>
#include <QLineEdit>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QPushButton>
#include <QStringList>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
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

/// A port nobody listens on: in the ephemeral range, so also one a gateway allows.
inline quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::AnyIPv4, 0))
        qFatal("cannot bind a probe port");
    return probe.serverPort();
}

/// The window with IPs.txt in a temporary directory, scripted dialogs, a switchable
/// notification area and a captured mirror. The gateway is the recording double unless the
/// test passes another.
struct Window
{
    QTemporaryDir dir;
    QString appDir = dir.path();
    std::shared_ptr<Gateway::Calls> calls = std::make_shared<Gateway::Calls>();
    std::shared_ptr<Dialogs::Script> script = std::make_shared<Dialogs::Script>();
    bool trayAvailable = true;
    QByteArray mirror;
    std::unique_ptr<ui::frmMain> window;

    ui::frmMain &open(std::unique_ptr<portmap::PortMapper> mapper = nullptr)
    {
        window.reset(); // a restart: the previous run has finished with IPs.txt
        ui::Environment env;
        env.appDir = appDir;
        env.mapper = mapper ? std::move(mapper) : std::make_unique<Gateway>(calls);
        env.dialogs = std::make_unique<Dialogs>(script);
        env.trayAvailable = [this] { return trayAvailable; };
        env.output = [this](const QByteArray &chunk) { mirror += chunk; };
        window = std::make_unique<ui::frmMain>(std::move(env));
        return *window;
    }
    template<class T = QPushButton> T *find(const QString &name) const
    {
        T *child = window->findChild<T *>(name);
        if (!child)
            qFatal("no control %s", qPrintable(name));
        return child;
    }
    QLineEdit *txtPort() const { return find<QLineEdit>(QStringLiteral("txtPort")); }
    void setPort(quint16 port) const { txtPort()->setText(QString::number(port)); }
    void click(const QString &name) const { QTest::mouseClick(find(name), Qt::LeftButton); }
    const QList<QString> &lines() const { return window->statusLog().lines(); }
    /// The listener's and the gateway's lines, in order (the relay may log more in between).
    QStringList switchLines() const
    {
        QStringList out;
        for (const QString &line : lines()) {
            if (line.startsWith(u"Listener") || line.startsWith(u"UPnP")
                || line.startsWith(u"Could not detect"))
                out.append(line);
        }
        return out;
    }
    QString filePath() const { return QDir(appDir).filePath(QStringLiteral("IPs.txt")); }
};

} // namespace fakes

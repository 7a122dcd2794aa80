#pragma once

#include "portmap/portmapper.h"
#include "relay/relay.h"
#include "ui/dialogs.h"
#include "ui/frmmain.h"
#include "ui/statuslog.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMutex>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace fakes {

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

/// A gateway that says yes to everything and records the calls ("add 1080", "remove 1080")
/// without touching the network. The calls come from the port-mapping thread, hence the lock.
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
        QStringList list;
    };
    explicit Gateway(std::shared_ptr<Calls> calls) : m_calls(std::move(calls)) { }
    portmap::Outcome add(quint16 port) override { return record(QStringLiteral("add "), port); }
    portmap::Outcome remove(quint16 port) override { return record(QStringLiteral("remove "), port); }

private:
    portmap::Outcome record(const QString &what, quint16 port)
    {
        QMutexLocker lock(&m_calls->mutex);
        m_calls->list.append(what + QString::number(port));
        return {};
    }
    std::shared_ptr<Calls> m_calls;
};

/// Answers the window's prompts from a script and records what it showed, in order:
/// "prompt|title|text", "critical|title|text", "question|title|text", "beep".
class Dialogs final : public ui::Dialogs
{
public:
    struct Script
    {
        QStringList answers; ///< next prompt answers, in order
        bool yes = false; ///< the answer to every question
        QStringList shown;
    };
    explicit Dialogs(std::shared_ptr<Script> script) : m_script(std::move(script)) { }
    QString prompt(QWidget *, const QString &title, const QString &text) override
    {
        note(u"prompt", title, text);
        return m_script->answers.isEmpty() ? QString() : m_script->answers.takeFirst();
    }
    void critical(QWidget *, const QString &title, const QString &text) override
    {
        note(u"critical", title, text);
    }
    bool question(QWidget *, const QString &title, const QString &text) override
    {
        note(u"question", title, text);
        return m_script->yes;
    }
    void beep() override { m_script->shown.append(QStringLiteral("beep")); }

private:
    void note(QStringView kind, const QString &title, const QString &text)
    {
        m_script->shown.append(kind.toString() + u'|' + title + u'|' + text);
    }
    std::shared_ptr<Script> m_script;
};

/// A port that was free a moment ago (in the ephemeral range, so one a gateway allows). Someone
/// may take it before it is used: Window::listen() tries again when that happens.
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
        return window->findChild<T *>(name);
    }
    QLineEdit *txtPort() const { return find<QLineEdit>(QStringLiteral("txtPort")); }
    void setPort(quint16 port) const { txtPort()->setText(QString::number(port)); }
    void click(const QString &name) const { QTest::mouseClick(find(name), Qt::LeftButton); }
    /// Presses Listen on a free port, again with another if the port was taken meanwhile.
    quint16 listen() const
    {
        for (;;) {
            const quint16 port = freePort();
            setPort(port);
            click(QStringLiteral("cmdListen"));
            if (window->proxy().wsListener().State() != net::Endpoint::sckClosed)
                return port;
        }
    }
    QStringList lines() const { return window->statusLog().lines(); }
    /// The switch's and the gateway's lines, in order (the relay may log more in between; a port
    /// taken meanwhile by someone else, and so tried again, is left out too).
    QStringList switchLines() const
    {
        QStringList out = lines();
        out.removeIf([](const QString &line) {
            return line.startsWith(u"Listener Error")
                || !(line.startsWith(u"Listener") || line.startsWith(u"UPnP")
                    || line.startsWith(u"Could not detect"));
        });
        return out;
    }
    QString filePath() const { return QDir(appDir).filePath(QStringLiteral("IPs.txt")); }
    QByteArray file() const { return readFile(filePath()); }
};

} // namespace fakes

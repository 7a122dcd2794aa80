#pragma once

#include "portmap/portmapper.h"
#include "relay/relay.h"
#include "ui/dialogs.h"
#include "ui/frmmain.h"
#include "ui/statuslog.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QSemaphore>
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

/// A gateway that says yes without touching the network; a silent one never answers a removal
/// (after "removing" on standard error).
class Gateway final : public portmap::PortMapper
{
public:
    explicit Gateway(bool silent = false) : m_silent(silent) { }
    portmap::Outcome add(quint16) override { return {}; }
    portmap::Outcome remove(quint16) override
    {
        if (m_silent) {
            std::fputs("removing\n", stderr);
            QSemaphore().acquire(); // never released
        }
        return {};
    }

private:
    const bool m_silent;
};

/// Answers the window's prompts from a script and records what it showed, in order:
/// "prompt|title|text", "critical|title|text", "question|title|text", "beep".
class Dialogs final : public ui::Dialogs
{
public:
    QStringList answers; ///< next prompt answers, in order
    bool yes = false; ///< the answer to every question
    QStringList shown;

    QString prompt(QWidget *, const QString &title, const QString &text) override
    {
        shown.append(QStringLiteral("prompt|") + title + u'|' + text);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    void critical(QWidget *, const QString &title, const QString &text) override
    {
        shown.append(QStringLiteral("critical|") + title + u'|' + text);
    }
    bool question(QWidget *, const QString &title, const QString &text) override
    {
        shown.append(QStringLiteral("question|") + title + u'|' + text);
        return yes;
    }
    QString saveFileName(QWidget *, const QString &title) override
    {
        shown.append(QStringLiteral("save|") + title);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    void beep() override { shown.append(QStringLiteral("beep")); }
};

/// The window with IPs.txt in a temporary directory, scripted dialogs, a switchable
/// notification area and a captured mirror (or standard output). The gateway is the double
/// unless the test passes another.
struct Window
{
    QTemporaryDir dir;
    QString appDir = dir.path();
    Dialogs *script = nullptr; ///< owned by the window
    bool trayAvailable = true;
    bool standardOutput = false;
    QByteArray mirror;
    std::unique_ptr<ui::frmMain> window;

    ui::frmMain &open(std::unique_ptr<portmap::PortMapper> mapper = nullptr)
    {
        window.reset(); // a restart: the previous run has finished with IPs.txt
        ui::Environment env;
        env.appDir = appDir;
        env.mapper = mapper ? std::move(mapper) : std::make_unique<Gateway>();
        auto dialogs = std::make_unique<Dialogs>();
        script = dialogs.get();
        env.dialogs = std::move(dialogs);
        env.trayAvailable = [this] { return trayAvailable; };
        if (!standardOutput)
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
    /// Presses Listen on a port that was free a moment ago, again if someone took it meanwhile.
    quint16 listen() const
    {
        while (window->proxy().wsListener().State() == net::Endpoint::sckClosed) {
            QTcpServer probe;
            if (probe.listen(QHostAddress::AnyIPv4, 0))
                setPort(probe.serverPort());
            probe.close();
            click(QStringLiteral("cmdListen"));
        }
        return quint16(window->proxy().wsListener().LocalPort());
    }
    QStringList lines() const { return window->statusLog().lines(); }
    /// The switch's and the gateway's lines, in order (without the relay's, or a failed Listen
    /// on a port someone took meanwhile).
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

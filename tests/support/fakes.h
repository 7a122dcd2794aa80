#pragma once

#include "relay/relay.h"
#include "ui/frmmain.h"
#include "ui/statuslog.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace fakes {

using namespace Qt::StringLiterals;

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

/// A gateway that says yes without touching the network; a silent one never answers a removal
/// (after "removing" on standard error).
struct Gateway final : portmap::PortMapper
{
    explicit Gateway(bool silent = false) : silent(silent) { }
    portmap::Outcome add(quint16) override { return {}; }
    portmap::Outcome remove(quint16) override
    {
        if (silent && std::fputs("removing\n", stderr) >= 0)
            QSemaphore().acquire(); // never released
        return {};
    }
    const bool silent;
};

/// Answers prompts, questions ("" is No) and file choosers from a script; records "prompt",
/// "save", "beep" and "critical|" or "question|" with the message, in order.
struct Dialogs final : ui::Dialogs
{
    QStringList answers, shown;

    QString next(const QString &what)
    {
        shown.append(what);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    QString prompt(QWidget *, const QString &, const QString &) override
    {
        return next(u"prompt"_s);
    }
    void critical(QWidget *, const QString &, const QString &t) override
    {
        shown << u"critical|"_s + t;
    }
    bool question(QWidget *, const QString &, const QString &text) override
    {
        return !next(u"question|"_s + text).isEmpty();
    }
    QString saveFileName(QWidget *, const QString &) override { return next(u"save"_s); }
    void beep() override { shown.append(u"beep"_s); }
};

/// The window with IPs.txt in a temporary directory, scripted dialogs, a switchable
/// notification area and the log's mirror captured (or on standard output).
struct Window
{
    QTemporaryDir dir;
    QString appDir = dir.path();
    Dialogs *script = nullptr; ///< owned by the window
    bool trayAvailable = true, standardOutput = false;
    QByteArray mirror;
    std::unique_ptr<ui::frmMain> window;

    ui::frmMain &open(std::unique_ptr<portmap::PortMapper> mapper = std::make_unique<Gateway>())
    {
        window.reset(); // a restart: the previous run has finished with IPs.txt
        ui::Environment env { appDir, u"/opt/x y/socks4proxy"_s, std::move(mapper),
            std::make_unique<Dialogs>(), [this] { return trayAvailable; }, {},
            dir.filePath(u"socks4proxy.ini"_s) };
        script = static_cast<Dialogs *>(env.dialogs.get());
        if (!standardOutput)
            env.output = [this](const QByteArray &chunk) { mirror += chunk; };
        window = std::make_unique<ui::frmMain>(std::move(env));
        return *window;
    }
    template<class T = QPushButton> T *find(const QString &name) const
    {
        return window->findChild<T *>(name);
    }
    void setPort(quint16 port) const
    {
        find<QLineEdit>(u"txtPort"_s)->setText(QString::number(port));
    }
    void click(const QString &name) const { QTest::mouseClick(find(name), Qt::LeftButton); }
    /// Presses Listen on a port that was free a moment ago, again if someone took it meanwhile.
    quint16 listen() const
    {
        for (QTcpServer probe; window->proxy().wsListener().State() == net::sckClosed;) {
            if (probe.listen(QHostAddress::AnyIPv4, 0))
                setPort(probe.serverPort());
            probe.close();
            click(u"cmdListen"_s);
        }
        return quint16(window->proxy().wsListener().LocalPort());
    }
    /// The switch's and the gateway's lines, in order (not the relay's, nor a failed Listen).
    QStringList switchLines() const
    {
        static const QRegularExpression ours(u"^(Listener (?!Error)|UPnP |Could not detect)"_s);
        return window->statusLog().lines().filter(ours);
    }
    QByteArray file() const { return readFile(QDir(appDir).filePath(u"IPs.txt"_s)); }
};

} // namespace fakes

#pragma once

#include "relay/relay.h"
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

/// Answers prompts and file choosers from a script and records what was shown, in order:
/// "prompt|title|text", "critical|title|text", "question|title|text", "save|title", "beep".
struct Dialogs final : ui::Dialogs
{
    QStringList answers, shown;
    bool yes = false; ///< the answer to every question

    QString answer(const QString &what)
    {
        shown.append(what);
        return answers.isEmpty() ? QString() : answers.takeFirst();
    }
    QString prompt(QWidget *, const QString &title, const QString &text) override
    {
        return answer(QStringLiteral("prompt|") + title + u'|' + text);
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
        return answer(QStringLiteral("save|") + title);
    }
    void beep() override { shown.append(QStringLiteral("beep")); }
};

/// The window with IPs.txt in a temporary directory, scripted dialogs, a switchable
/// notification area and a captured mirror (or standard output).
struct Window
{
    QTemporaryDir dir;
    QString appDir = dir.path();
    Dialogs *script = nullptr; ///< owned by the window
    bool trayAvailable = true, standardOutput = false;
    QByteArray mirror;
    std::unique_ptr<ui::frmMain> window;

    ui::frmMain &open(std::unique_ptr<portmap::PortMapper> mapper = nullptr)
    {
        window.reset(); // a restart: the previous run has finished with IPs.txt
        ui::Environment env { appDir, QStringLiteral("/opt/x y/socks4proxy"),
            mapper ? std::move(mapper) : std::make_unique<Gateway>(), std::make_unique<Dialogs>(),
            [this] { return trayAvailable; }, {} };
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
    QLineEdit *txtPort() const { return find<QLineEdit>(QStringLiteral("txtPort")); }
    void setPort(quint16 port) const { txtPort()->setText(QString::number(port)); }
    void click(const QString &name) const { QTest::mouseClick(find(name), Qt::LeftButton); }
    /// Presses Listen on a port that was free a moment ago, again if someone took it meanwhile.
    quint16 listen() const
    {
        while (window->proxy().wsListener().State() == net::sckClosed) {
            QTcpServer probe;
            if (probe.listen(QHostAddress::AnyIPv4, 0))
                setPort(probe.serverPort());
            probe.close();
            click(QStringLiteral("cmdListen"));
        }
        return quint16(window->proxy().wsListener().LocalPort());
    }
    QStringList lines() const { return window->statusLog().lines(); }
    /// The switch's and the gateway's lines, in order (not the relay's, nor a failed Listen).
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

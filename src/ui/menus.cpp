#include "menus.h"

#include "desktop.h"
#include "dialogs.h"
#include "statuslog.h"

#include <QFile>
#include <QSystemTrayIcon>

namespace ui {

namespace {

QString caption()
{
    return QStringLiteral("Socks4 Proxy Server");
}

} // namespace

TrayMenu::TrayMenu(QString program, Dialogs &dialogs, QWidget *parent)
    : QMenu(parent), m_program(std::move(program)), m_dialogs(dialogs)
{
    m_show = addAction(QStringLiteral("Show"));
    m_connections = addAction(QStringLiteral("Connections\u2026"));
    m_listen = addAction(QStringLiteral("Listen"));
    m_startAtLogin = addAction(QStringLiteral("Start at Login"));
    m_startAtLogin->setCheckable(true);
    connect(m_startAtLogin, &QAction::triggered, this, &TrayMenu::setStartAtLogin);
    m_users = addAction(QStringLiteral("Users…"));
    m_quit = addAction(QStringLiteral("Quit"));
    // The check mark says whether the entry is there, whoever made or removed it.
    connect(this, &QMenu::aboutToShow, this,
        [this] { m_startAtLogin->setChecked(QFile::exists(autostartPath())); });
    m_icon = new QSystemTrayIcon(parent);
    m_icon->setContextMenu(this);
    connect(m_icon, &QSystemTrayIcon::activated, this,
        [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                m_show->trigger();
        });
}

TrayMenu::~TrayMenu() = default;

void TrayMenu::setStartAtLogin(bool on)
{
    const QString error = on ? writeAutostart(m_program) : removeAutostart();
    m_startAtLogin->setChecked(QFile::exists(autostartPath()));
    if (!error.isEmpty())
        m_dialogs.critical(parentWidget(), caption(), error);
}

void saveLogAs(QWidget *parent, Dialogs &dialogs, const StatusLog &log)
{
    const QString path = dialogs.saveFileName(parent, QStringLiteral("Save Log"));
    if (path.isEmpty())
        return;
    const QString error = log.save(path);
    if (!error.isEmpty())
        dialogs.critical(parent, caption(), error);
}

} // namespace ui

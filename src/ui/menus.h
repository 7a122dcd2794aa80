#pragma once

#include <QMenu>

QT_BEGIN_NAMESPACE
class QSystemTrayIcon;
QT_END_NAMESPACE

/// The window's menus beyond its controls: the notification-area icon's, and what the status
/// log's context menu does on "Save Log…".
namespace ui {

class Dialogs;
class StatusLog;

/// The notification-area icon and its menu, by right-click: "Show", "Connections…", the listener
/// switch, "Start at Login", "Users…" and "Quit". While the window is hidden it is the only way to
/// reach the switch and to quit; the window connects all but "Start at Login" to its own handlers.
/// Activating the
/// icon (a left click or a double click) does what "Show" does.
class TrayMenu final : public QMenu
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayMenu)

public:
    /// program: the executable the autostart entry runs; dialogs: where a failure to write or
    /// remove that entry is shown. The icon is the parent's child, hidden until shown.
    TrayMenu(QString program, Dialogs &dialogs, QWidget *parent);
    ~TrayMenu() override;

    QSystemTrayIcon &icon() const { return *m_icon; }
    QAction &showAction() const { return *m_show; }
    QAction &connectionsAction() const { return *m_connections; }
    /// Carries the same caption as the window's switch (see frmMain::setListenCaption).
    QAction &listenAction() const { return *m_listen; }
    QAction &usersAction() const { return *m_users; }
    QAction &quitAction() const { return *m_quit; }

private:
    /// Writes or removes the autostart entry, as "Start at Login" was checked or cleared.
    void setStartAtLogin(bool on);

    QString m_program;
    Dialogs &m_dialogs;
    QSystemTrayIcon *m_icon = nullptr;
    QAction *m_show = nullptr;
    QAction *m_connections = nullptr;
    QAction *m_listen = nullptr;
    QAction *m_startAtLogin = nullptr;
    QAction *m_users = nullptr;
    QAction *m_quit = nullptr;
};

/// Asks where to save the log (the "Save Log" file chooser) and writes all of it there; a failure
/// is shown in a message box.
void saveLogAs(QWidget *parent, Dialogs &dialogs, const StatusLog &log);

} // namespace ui

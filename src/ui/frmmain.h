#pragma once

#include "connectionswindow.h"
#include "environment.h"
#include "startoptions.h"

#include <QStringList>
#include <QWidget>
#include <memory>

QT_BEGIN_NAMESPACE
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QSystemTrayIcon;
QT_END_NAMESPACE

namespace acl {
class AllowList;
class Guard;
class Logins;
class Users;
} // namespace acl
namespace portmap {
class PortMapping;
}
namespace relay {
class Relay;
}

namespace ui {

class Settings;
class StatusLog;
class StatusView;
class TrayMenu;

/// The program's one window. It owns the relay, the port mapping, the allow-list (shown by
/// lstAllowed), the status log and the notification-area icon, and lives for the whole run.
class frmMain final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmMain)

public:
    /// Client-area size in pixels (the layout's twips divided by 15).
    static constexpr int ClientWidth = 250;
    /// Collapsed: the client area ends just below cmdStatus and lstStatus is out of sight.
    static constexpr int CollapsedHeight = 113;
    /// Expanded: the whole of lstStatus shows.
    static constexpr int ExpandedHeight = 262;
    /// How long closing waits for the gateway to drop a mapping this program still holds.
    static constexpr int ShutdownTimeoutMs = 3000;

    explicit frmMain(Environment env, QWidget *parent = nullptr);
    ~frmMain() override;

    /// Shows the window, or hides it behind the tray icon, and presses Listen, as the start
    /// options say.
    void start(const StartOptions &options);

    /// Adds one line at the end of the status log; the relay and the port mapping write through it.
    void AppendStatus(const QString &line);

    /// The allow-list's entries, in order.
    const QStringList &allowedEntries() const;
    /// Saves the list for a session that is ending: nothing may wait for the operator then, so
    /// a failure goes to the status log instead of a message box.
    void commitData();
    /// Closes as the operator would, for an end that nobody watches (a signal): a failed save
    /// goes to the status log instead of a message box.
    void closeUnattended();

    StatusLog &statusLog() { return *m_statusLog; }
    relay::Relay &proxy() { return *m_relay; }
    QSystemTrayIcon &trayIcon() { return *TrayIco; }
    /// The users who may log in with a password ("users.txt" beside "IPs.txt").
    acl::Users &users() { return *m_users; }
    /// Who may reach this computer itself through the proxy (the option is the window's).
    acl::Guard &guard() { return *m_guard; }
    /// The window's context menu (a right-click on the window, off its lists and port box):
    /// "Users…" and the checkable "Let clients reach this computer's own services".
    QAction &usersAction() const { return *m_usersAction; }
    QAction &reachLocalServicesAction() const { return *m_reachLocalServices; }
    /// The tray icon's menu: "Show", "Connections…", the listener switch, "Start at Login",
    /// "Users…", "Quit".
    TrayMenu &trayMenu() { return *m_trayMenu; }
    /// The window's context menu's "Connections…".
    QAction &connectionsAction() { return *m_showConnections; }
    /// Opens the Connections window (made on first use), or brings it to the front.
    void showConnections();
    /// The Connections window, once it has been opened.
    ConnectionsWindow *connectionsWindow() const { return m_connections.get(); }

Q_SIGNALS:
    /// The window has begun to close (once).
    void closing();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();

    void Form_Load();
    void Form_QueryUnload();
    void Form_Resize();
    void cmdListen_Click();
    void cmdStatus_Click();
    void cmdAdd_Click();
    void cmdRemove_Click();
    /// Lets a typed character through only when it can be part of a port number; sets KeyAscii
    /// to 0 to swallow it.
    void txtPort_KeyPress(int &KeyAscii);
    void TrayIco_Activated();
    /// Opens the "Users" dialog (one at a time), or brings it to the front.
    void showUsers();
    void setReachLocalServices(bool on);
    /// Sets the listener switch's caption, on the button and in the tray menu.
    void setListenCaption(const QString &caption);
    /// Writes the list to "IPs.txt" (unless that file could not be read); a failure is shown in a
    /// message box, or when nobody may be asked, in the status log.
    void SaveAllowed(bool askNobody = false);

    Environment m_env;
    std::unique_ptr<portmap::PortMapping> m_portMapping;
    StatusLog *m_statusLog = nullptr;
    acl::AllowList *m_allowList = nullptr;
    acl::Users *m_users = nullptr;
    acl::Logins *m_logins = nullptr;
    std::unique_ptr<acl::Guard> m_guard;
    std::unique_ptr<Settings> m_settings;
    QAction *m_usersAction = nullptr;
    QAction *m_reachLocalServices = nullptr;
    relay::Relay *m_relay = nullptr;
    /// "IPs.txt" exists but could not be read: closing must not replace it with what is shown.
    bool m_keepAllowedFile = false;
    bool m_unloaded = false;
    bool m_unattended = false; ///< closing with nobody to answer a message box

    QPushButton *cmdListen = nullptr;
    QLabel *lblPort = nullptr;
    QLineEdit *txtPort = nullptr;
    QListView *lstAllowed = nullptr;
    QPushButton *cmdAdd = nullptr;
    QPushButton *cmdRemove = nullptr;
    StatusView *lstStatus = nullptr;
    QPushButton *cmdStatus = nullptr;
    QLabel *imgIcon = nullptr;
    QSystemTrayIcon *TrayIco = nullptr;
    TrayMenu *m_trayMenu = nullptr;
    QAction *m_showConnections = nullptr;
    /// What the Connections window shows and how it ends a connection.
    ConnectionsSource m_connectionsSource;
    std::unique_ptr<ConnectionsWindow> m_connections;
};

} // namespace ui

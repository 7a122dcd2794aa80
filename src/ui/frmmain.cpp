#include "frmmain.h"

#include "acl/allowlist.h"
#include "eventlog.h"
#include "acl/guard.h"
#include "acl/logins.h"
#include "acl/users.h"
#include "menus.h"
#include "portmap/portmapping.h"
#include "portnumber.h"
#include "relay/relay.h"
#include "settings.h"
#include "statuslog.h"
#include "statusview.h"
#include "usersdialog.h"

#include <QCloseEvent>
#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace ui {

namespace {

QString caption()
{
    return QStringLiteral("Socks4 Proxy Server");
}

// The layout is written in twips; at 96 dpi fifteen twips make one pixel.
void place(QWidget *control, int left, int top, int width, int height)
{
    constexpr int TwipsPerPixel = 15;
    control->setGeometry(
        left / TwipsPerPixel, top / TwipsPerPixel, width / TwipsPerPixel, height / TwipsPerPixel);
}

// The size at which "Stop Listening", "Show Status" and "Remove" still fit their buttons.
constexpr int FontPixelSize = 11;

} // namespace

frmMain::frmMain(Environment env, QWidget *parent)
    : QWidget(parent,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
            | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint
            | Qt::MSWindowsFixedSizeDialogHint),
      m_env(std::move(env))
{
    if (!m_env.mapper)
        qFatal("frmMain: no port mapper given");
    if (!m_env.dialogs)
        m_env.dialogs = makeWidgetDialogs();
    if (!m_env.trayAvailable)
        m_env.trayAvailable = &QSystemTrayIcon::isSystemTrayAvailable;

    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(caption());
    QIcon icon;
    for (const int size : { 16, 32, 48 })
        icon.addFile(QStringLiteral(":/ui/icons/quillgate%1.png").arg(size), QSize(size, size));
    setWindowIcon(icon);
    QFont smaller = font();
    smaller.setPixelSize(FontPixelSize);
    setFont(smaller);

    m_statusLog = new StatusLog(std::move(m_env.output), this);
    m_allowList = new acl::AllowList(this);
    buildControls();

    m_relay = new relay::Relay(*m_allowList, this);
    connect(m_relay, &relay::Relay::Reported, this, [this](const relay::Event &event) {
        if (const QString line = logLine(event); !line.isEmpty())
            AppendStatus(line);
    });
    m_portMapping = std::make_unique<portmap::PortMapping>(std::move(m_env.mapper));
    connect(m_portMapping.get(), &portmap::PortMapping::LogLine, this, &frmMain::AppendStatus);

    m_trayMenu = new TrayMenu(m_env.program, *m_env.dialogs, this);
    TrayIco = &m_trayMenu->icon();
    TrayIco->setObjectName(QStringLiteral("TrayIco"));
    connect(&m_trayMenu->showAction(), &QAction::triggered, this, &frmMain::TrayIco_Activated);
    connect(&m_trayMenu->listenAction(), &QAction::triggered, this, &frmMain::cmdListen_Click);
    connect(&m_trayMenu->quitAction(), &QAction::triggered, this, &QWidget::close);
    connect(&m_trayMenu->connectionsAction(), &QAction::triggered, this, &frmMain::showConnections);

    // What the Connections window shows and ends.
    m_connectionsSource = { [this] { return m_relay->snapshot(); },
        [this](quint64 id) { m_relay->Disconnect(id); } };
    m_showConnections = new QAction(QStringLiteral("Connections\u2026"), this);
    connect(m_showConnections, &QAction::triggered, this, &frmMain::showConnections);
    addAction(m_showConnections);

    m_users = new acl::Users(m_env.appDir, this);
    m_settings = std::make_unique<Settings>(m_env.appDir);
    m_guard = std::make_unique<acl::Guard>();
    m_guard->setReachLocalServices(m_settings->reachLocalServices());
    m_logins = new acl::Logins(*m_users, &acl::Logins::Clock::now, this);
    m_relay->setAccess({ m_logins, m_guard.get() });
    // The window's own context menu: the controls and the geometry stay as they are.
    m_usersAction = new QAction(QStringLiteral("Users…"), this);
    connect(m_usersAction, &QAction::triggered, this, &frmMain::showUsers);
    connect(&m_trayMenu->usersAction(), &QAction::triggered, this, &frmMain::showUsers);
    m_reachLocalServices =
        new QAction(QStringLiteral("Let clients reach this computer's own services"), this);
    m_reachLocalServices->setCheckable(true);
    m_reachLocalServices->setChecked(m_guard->reachLocalServices());
    connect(m_reachLocalServices, &QAction::triggered, this, &frmMain::setReachLocalServices);
    addActions({ m_usersAction, m_reachLocalServices });
    setContextMenuPolicy(Qt::ActionsContextMenu);

    Form_Load();
}

frmMain::~frmMain()
{
    // The window that asks the relay goes before it; the relay before the log it writes to.
    m_connections.reset();
    delete m_relay;
    m_relay = nullptr;
}

void frmMain::buildControls()
{
    // Created in tab order.
    cmdListen = new QPushButton(QStringLiteral("Listen"), this);
    cmdListen->setObjectName(QStringLiteral("cmdListen"));
    place(cmdListen, 120, 120, 1455, 375);

    lblPort = new QLabel(QStringLiteral("Port:"), this);
    lblPort->setObjectName(QStringLiteral("lblPort"));
    place(lblPort, 120, 600, 375, 255);

    txtPort = new QLineEdit(QStringLiteral("1080"), this);
    txtPort->setObjectName(QStringLiteral("txtPort"));
    txtPort->setMaxLength(5);
    txtPort->installEventFilter(this);
    place(txtPort, 720, 600, 855, 285);
    lblPort->setBuddy(txtPort);

    lstAllowed = new QListView(this);
    lstAllowed->setObjectName(QStringLiteral("lstAllowed"));
    lstAllowed->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstAllowed->setModel(m_allowList);
    place(lstAllowed, 1800, 120, 1935, 840);

    cmdAdd = new QPushButton(QStringLiteral("Add"), this);
    cmdAdd->setObjectName(QStringLiteral("cmdAdd"));
    place(cmdAdd, 1800, 960, 855, 255);

    cmdRemove = new QPushButton(QStringLiteral("Remove"), this);
    cmdRemove->setObjectName(QStringLiteral("cmdRemove"));
    place(cmdRemove, 2880, 960, 855, 255);

    // The log may grow to millions of lines: a view whose rows all have one height shows it
    // at a constant cost per added line.
    lstStatus = new StatusView(this);
    lstStatus->setObjectName(QStringLiteral("lstStatus"));
    lstStatus->setModel(m_statusLog);
    connect(lstStatus, &StatusView::saveRequested, this,
        [this] { saveLogAs(this, *m_env.dialogs, *m_statusLog); });
    place(lstStatus, 0, 1680, 3735, 2205);

    cmdStatus = new QPushButton(QStringLiteral("Show Status"), this);
    cmdStatus->setObjectName(QStringLiteral("cmdStatus"));
    place(cmdStatus, 0, 1320, 3735, 375);

    // Only the holder of the notification-area picture; never shown.
    imgIcon = new QLabel(this);
    imgIcon->setObjectName(QStringLiteral("imgIcon"));
    imgIcon->setPixmap(QPixmap(QStringLiteral(":/ui/icons/quillgate16.png")));
    place(imgIcon, 120, 1080, 240, 240);
    imgIcon->hide();

    setTabOrder(cmdListen, txtPort);
    setTabOrder(txtPort, lstAllowed);
    setTabOrder(lstAllowed, cmdAdd);
    setTabOrder(cmdAdd, cmdRemove);
    setTabOrder(cmdRemove, lstStatus);
    setTabOrder(lstStatus, cmdStatus);

    connect(cmdListen, &QPushButton::clicked, this, &frmMain::cmdListen_Click);
    connect(cmdStatus, &QPushButton::clicked, this, &frmMain::cmdStatus_Click);
    connect(cmdAdd, &QPushButton::clicked, this, &frmMain::cmdAdd_Click);
    connect(cmdRemove, &QPushButton::clicked, this, &frmMain::cmdRemove_Click);

    // Fixed frame; the window opens collapsed.
    setFixedSize(ClientWidth, CollapsedHeight);
}

void frmMain::start(const StartOptions &options)
{
    if (options.port)
        txtPort->setText(QString::number(*options.port));
    if (!options.minimized)
        show();
    else if (m_env.trayAvailable())
        TrayIco->show(); // hidden, as after minimising
    else
        showMinimized();
    if (options.listen)
        cmdListen_Click();
    if (options.connections)
        showConnections();
}

void frmMain::showConnections()
{
    if (!m_connections) {
        m_connections =
            std::make_unique<ConnectionsWindow>(m_connectionsSource, m_env.settingsFile);
        m_connections->setWindowIcon(windowIcon());
    }
    m_connections->showNormal();
    m_connections->raise();
    m_connections->activateWindow();
}

void frmMain::AppendStatus(const QString &line)
{
    m_statusLog->append(line);
}

const QStringList &frmMain::allowedEntries() const
{
    return m_allowList->entries();
}

void frmMain::Form_Load()
{
    const acl::LoadResult loaded = acl::load(m_env.appDir);
    if (!loaded.ok) {
        // Saving over a file we could not read would wipe a list the operator still has.
        m_keepAllowedFile = true;
        m_env.dialogs->critical(this, caption(),
            loaded.error
                + QStringLiteral("\n\nChanges to the list will not be written to this file."));
    }
    m_allowList->setEntries(loaded.entries);
    if (const QString error = m_users->load(); !error.isEmpty())
        m_env.dialogs->critical(this, caption(), error);

    TrayIco->setIcon(QIcon(imgIcon->pixmap()));
    TrayIco->setToolTip(QStringLiteral("Quillgate"));
}

void frmMain::closeEvent(QCloseEvent *event)
{
    Form_QueryUnload();
    event->accept(); // closing is never cancelled
}

void frmMain::Form_QueryUnload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    Q_EMIT closing();
    SaveAllowed(m_unattended);
    // A forward left open on the router after exit would expose this host; a dead gateway
    // must not keep the program from ending, though.
    if (m_portMapping->shutdown(ShutdownTimeoutMs)) {
        // The removal's line is queued for this thread; take it now so that it is still logged
        // (and printed) although the event loop is about to end.
        QCoreApplication::sendPostedEvents(m_portMapping.get(), QEvent::MetaCall);
    }
    TrayIco->hide();
    if (m_connections)
        m_connections->close(); // keeps its size
}

void frmMain::SaveAllowed(bool askNobody)
{
    if (m_keepAllowedFile)
        return;
    QDir().mkpath(
        m_env.appDir); // the configuration folder, at the first save; a failure shows below
    const acl::SaveResult saved = acl::save(m_env.appDir, allowedEntries());
    if (saved.ok)
        return;
    if (askNobody)
        AppendStatus(saved.error);
    else
        m_env.dialogs->critical(this, caption(), saved.error);
}

void frmMain::commitData()
{
    SaveAllowed(true);
}

void frmMain::closeUnattended()
{
    m_unattended = true;
    close();
}

void frmMain::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void frmMain::Form_Resize()
{
    if (!(windowState() & Qt::WindowMinimized))
        return;
    // Without a notification area nothing could bring a hidden window back: just minimise.
    if (!m_env.trayAvailable())
        return;
    // Restored before it is hidden, so that showing it again brings it back as it was, not
    // minimised. Not after: on X11, leaving the minimised state maps the native window again,
    // which would leave an empty frame on the desktop while the widget counts as hidden.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
    TrayIco->show();
}

void frmMain::TrayIco_Activated()
{
    show();
    raise();
    activateWindow();
    TrayIco->hide();
}

void frmMain::showUsers()
{
    auto *dialog = findChild<UsersDialog *>();
    if (!dialog) {
        dialog = new UsersDialog(*m_users, *m_env.dialogs, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowFlag(Qt::Window);
    }
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void frmMain::setReachLocalServices(bool on)
{
    m_guard->setReachLocalServices(on);
    if (const QString error = m_settings->setReachLocalServices(on); !error.isEmpty())
        m_env.dialogs->critical(this, caption(), error);
}

void frmMain::cmdListen_Click()
{
    net::Listener &wsListener = m_relay->wsListener();
    if (wsListener.State() != net::sckClosed) {
        wsListener.Close();
        setListenCaption(QStringLiteral("Listen"));
        AppendStatus(QStringLiteral("Listener Stopped Listening"));
        m_portMapping->RemoveUPnP();
        return;
    }

    const PortNumber port = readPortNumber(txtPort->text());
    if (!port.ok()) {
        AppendStatus(QStringLiteral("Listener Error: ") + port.reason);
        return;
    }
    wsListener.setLocalPort(port.port);
    if (!wsListener.Listen()) {
        AppendStatus(QStringLiteral("Listener Error: ") + wsListener.ErrorString());
        return;
    }
    setListenCaption(QStringLiteral("Stop Listening"));
    AppendStatus(QStringLiteral("Listener Listening"));
    m_portMapping->AddUPnP(port.port);
}

void frmMain::setListenCaption(const QString &caption)
{
    cmdListen->setText(caption);
    m_trayMenu->listenAction().setText(caption);
}

void frmMain::cmdStatus_Click()
{
    // Heights are whole pixels here, so the test is on the exact pixel height this switch sets.
    if (height() == ExpandedHeight) {
        setFixedHeight(CollapsedHeight);
        cmdStatus->setText(QStringLiteral("Show Status"));
    } else {
        setFixedHeight(ExpandedHeight);
        cmdStatus->setText(QStringLiteral("Hide Status"));
    }
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != txtPort || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    const QString text = key->text();
    // Only typed characters go through the filter: keys without text (arrows, Home, Delete)
    // and focus moves (Tab) are not characters and keep their usual meaning.
    if (text.isEmpty() || key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab
        || key->key() == Qt::Key_Delete)
        return false;
    int KeyAscii = text.size() == 1 ? text.at(0).unicode() : 0;
    txtPort_KeyPress(KeyAscii);
    return KeyAscii == 0;
}

void frmMain::txtPort_KeyPress(int &KeyAscii)
{
    constexpr int Backspace = 8;
    constexpr int FullStop = 46;
    const bool digit = KeyAscii >= '0' && KeyAscii <= '9';
    if (!digit && KeyAscii != Backspace && KeyAscii != FullStop)
        KeyAscii = 0;
}

void frmMain::cmdAdd_Click()
{
    const QString answer = m_env.dialogs->prompt(this, QStringLiteral("New Allowed IP"),
        QStringLiteral("Please enter an IP address to allow requests from:"));
    if (answer.isEmpty())
        return;
    if (!acl::isValidEntry(answer)) {
        m_env.dialogs->critical(
            this, QStringLiteral("Invalid IP"), QStringLiteral("Invalid IP Address"));
        return;
    }
    m_allowList->append(answer); // exactly as typed
    // Kept on disk at once: a crash, a power cut or a lost display connection loses no edit.
    SaveAllowed();
}

void frmMain::cmdRemove_Click()
{
    const QPersistentModelIndex selected = lstAllowed->currentIndex();
    if (!selected.isValid() || !lstAllowed->selectionModel()->isSelected(selected)) {
        m_env.dialogs->beep();
        return;
    }
    const QString entry = m_allowList->entries().at(selected.row());
    if (!m_env.dialogs->question(this, QStringLiteral("Remove IP?"),
            QStringLiteral("Are you sure you want to remove ") + entry
                + QStringLiteral(" from the allowed IPs?")))
        return;
    m_allowList->removeAt(selected.row()); // where it is now: the question had its own loop
    // Nothing is selected afterwards, so a second press cannot take a neighbour unseen.
    lstAllowed->setCurrentIndex({});
    lstAllowed->clearSelection();
    SaveAllowed();
}

} // namespace ui

#include "usersdialog.h"

#include "acl/users.h"
#include "dialogs.h"

#include <QBoxLayout>
#include <QListWidget>
#include <QPushButton>

namespace ui {

namespace {

QString caption()
{
    return QStringLiteral("Users");
}

QString shown(const QByteArray &name)
{
    return QString::fromUtf8(name);
}

} // namespace

UsersDialog::UsersDialog(acl::Users &users, Dialogs &dialogs, QWidget *parent)
    : QDialog(parent), m_users(users), m_dialogs(dialogs)
{
    setObjectName(QStringLiteral("frmUsers"));
    setWindowTitle(caption());
    lstUsers = new QListWidget(this);
    lstUsers->setObjectName(QStringLiteral("lstUsers"));
    cmdAddUser = new QPushButton(QStringLiteral("Add…"), this);
    cmdAddUser->setObjectName(QStringLiteral("cmdAddUser"));
    cmdChangePassword = new QPushButton(QStringLiteral("Change Password…"), this);
    cmdChangePassword->setObjectName(QStringLiteral("cmdChangePassword"));
    cmdRemoveUser = new QPushButton(QStringLiteral("Remove"), this);
    cmdRemoveUser->setObjectName(QStringLiteral("cmdRemoveUser"));
    auto *close = new QPushButton(QStringLiteral("Close"), this);

    auto *buttons = new QVBoxLayout;
    for (QPushButton *button : { cmdAddUser, cmdChangePassword, cmdRemoveUser })
        buttons->addWidget(button);
    buttons->addStretch();
    buttons->addWidget(close);
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(lstUsers);
    layout->addLayout(buttons);

    connect(cmdAddUser, &QPushButton::clicked, this, &UsersDialog::cmdAddUser_Click);
    connect(cmdChangePassword, &QPushButton::clicked, this, &UsersDialog::cmdChangePassword_Click);
    connect(cmdRemoveUser, &QPushButton::clicked, this, &UsersDialog::cmdRemoveUser_Click);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(&m_users, &acl::Users::changed, this, &UsersDialog::fillList);
    if (const QString error = m_users.load(); !error.isEmpty())
        m_dialogs.critical(this, caption(), error);
    fillList();
}

UsersDialog::~UsersDialog() = default;

void UsersDialog::fillList()
{
    lstUsers->clear();
    for (const auto &[name, hash] : m_users.users()) {
        auto *item = new QListWidgetItem(shown(name), lstUsers);
        item->setData(Qt::UserRole, name);
    }
}

std::optional<QByteArray> UsersDialog::selectedName()
{
    const QListWidgetItem *item = lstUsers->currentItem();
    if (!item || !item->isSelected()) {
        m_dialogs.beep();
        return std::nullopt;
    }
    return item->data(Qt::UserRole).toByteArray();
}

void UsersDialog::askPassword(const QByteArray &name)
{
    const QString password =
        m_dialogs.secret(this, caption(), QStringLiteral("Password for %1:").arg(shown(name)));
    if (password.isEmpty())
        return;
    if (m_dialogs.secret(this, caption(), QStringLiteral("The same password again:")) != password) {
        m_dialogs.critical(this, caption(), QStringLiteral("The passwords differ."));
        return;
    }
    if (!acl::isValidCredential(password.toUtf8())) {
        m_dialogs.critical(
            this, caption(), QStringLiteral("A password is at most 255 bytes long."));
        return;
    }
    if (const QString error = m_users.setPassword(name, password.toUtf8()); !error.isEmpty())
        m_dialogs.critical(this, caption(), error);
}

void UsersDialog::cmdAddUser_Click()
{
    const QString answer =
        m_dialogs.prompt(this, QStringLiteral("New User"), QStringLiteral("Name of the user:"));
    if (answer.isEmpty())
        return;
    if (!acl::isValidCredential(answer.toUtf8())) {
        m_dialogs.critical(this, caption(), QStringLiteral("A name is at most 255 bytes long."));
        return;
    }
    askPassword(answer.toUtf8());
}

void UsersDialog::cmdChangePassword_Click()
{
    if (const std::optional<QByteArray> name = selectedName())
        askPassword(*name);
}

void UsersDialog::cmdRemoveUser_Click()
{
    const std::optional<QByteArray> name = selectedName();
    if (!name
        || !m_dialogs.question(this, QStringLiteral("Remove User?"),
            QStringLiteral("Are you sure you want to remove the user %1?").arg(shown(*name))))
        return;
    if (const QString error = m_users.remove(*name); !error.isEmpty())
        m_dialogs.critical(this, caption(), error);
}

} // namespace ui

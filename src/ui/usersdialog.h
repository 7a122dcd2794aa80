#pragma once

#include <QDialog>
#include <optional>

QT_BEGIN_NAMESPACE
class QListWidget;
class QPushButton;
QT_END_NAMESPACE

namespace acl {
class Users;
}

namespace ui {

class Dialogs;

/// "Users": the users who may log in with a password. Add a user, change a password, remove a
/// user (after a question). Every edit is saved at once; the prompts go through the dialogs seam.
class UsersDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UsersDialog)

public:
    UsersDialog(acl::Users &users, Dialogs &dialogs, QWidget *parent = nullptr);
    ~UsersDialog() override;

private:
    void cmdAddUser_Click();
    void cmdChangePassword_Click();
    void cmdRemoveUser_Click();
    /// Asks for the password twice and saves it for name; a refusal is shown.
    void askPassword(const QByteArray &name);
    /// The selected user's name, or nothing (after a beep) when none is selected.
    std::optional<QByteArray> selectedName();
    void fillList();

    acl::Users &m_users;
    Dialogs &m_dialogs;
    QListWidget *lstUsers = nullptr;
    QPushButton *cmdAddUser = nullptr;
    QPushButton *cmdChangePassword = nullptr;
    QPushButton *cmdRemoveUser = nullptr;
};

} // namespace ui

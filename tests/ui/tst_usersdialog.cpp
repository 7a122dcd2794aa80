// The "Users" dialog, opened from the window's context menu and the tray menu, answered through
// the dialogs seam; and the guard's option, kept in the settings file.

#include "acl/guard.h"
#include "acl/users.h"
#include "fakes.h"
#include "ui/menus.h"
#include "ui/usersdialog.h"

#include <QListWidget>

using namespace Qt::StringLiterals;

class tst_UsersDialog final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void edits();
};

void tst_UsersDialog::edits()
{
    fakes::Window h;
    ui::frmMain &w = h.open();
    const QSize size = w.size();
    const QList<QWidget *> controls = w.findChildren<QWidget *>(Qt::FindDirectChildrenOnly);
    QCOMPARE(w.contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(w.actions(),
        (QList<QAction *> {
            &w.connectionsAction(), &w.usersAction(), &w.reachLocalServicesAction() }));
    w.usersAction().trigger();
    auto *dialog = w.findChild<ui::UsersDialog *>();
    QVERIFY(dialog && dialog->isVisible());
    w.trayMenu().usersAction().trigger(); // the same one, brought forward
    QCOMPARE(w.findChildren<ui::UsersDialog *>().size(), 1);
    const auto click = [dialog](const char *b) {
        dialog->findChild<QPushButton *>(QLatin1StringView(b))->click();
    };
    auto *list = dialog->findChild<QListWidget *>(u"lstUsers"_s);

    // Add: name, password twice. A cancel, a mismatch and a name too long change nothing.
    h.script->answers = QStringList { u"zoë"_s, u"pw1"_s, u"pw1"_s, u"bob"_s, u"a"_s, u"b"_s,
        u"bob"_s, {}, u"x"_s.repeated(256), {} };
    for (int i = 0; i < 5; ++i)
        click("cmdAddUser");
    QCOMPARE(h.script->shown.filter(u"critical"_s),
        QStringList({ u"critical|The passwords differ."_s,
            u"critical|A name is at most 255 bytes long."_s }));
    QCOMPARE(list->count(), 1);
    QCOMPARE(list->item(0)->text(), u"zoë"_s);
    QVERIFY(fakes::readFile(w.users().filePath()).contains("zo%C3%AB:$argon2id$"));

    // Change and remove need a selection (a beep otherwise); removal asks first.
    h.script->shown.clear();
    h.script->answers = QStringList { {}, u"y"_s };
    click("cmdChangePassword");
    list->setCurrentRow(0);
    click("cmdRemoveUser"); // answered No
    QCOMPARE(list->count(), 1);
    h.script->answers = QStringList { u"pw2"_s, u"pw2"_s, u"y"_s };
    click("cmdChangePassword");
    QVERIFY(acl::verifyPassword(*w.users().hashOf(u"zoë"_s.toUtf8()), "pw2"));
    list->setCurrentRow(0);
    click("cmdRemoveUser");
    QCOMPARE(h.script->shown,
        QStringList(
            { u"beep"_s, u"question|Are you sure you want to remove the user zoë?"_s, u"prompt"_s,
                u"prompt"_s, u"question|Are you sure you want to remove the user zoë?"_s }));
    QCOMPARE(list->count(), 0);
    QVERIFY(w.users().isEmpty());
    QCOMPARE(w.size(), size);
    QCOMPARE(w.findChildren<QWidget *>(Qt::FindDirectChildrenOnly).size(), controls.size() + 1);

    // The guard's option, kept for the next run.
    QAction &option = w.reachLocalServicesAction();
    QCOMPARE(option.text(), u"Let clients reach this computer's own services"_s);
    QVERIFY(option.isCheckable() && !option.isChecked());
    const QHostAddress away(u"203.0.113.7"_s);
    QVERIFY(!w.guard().allows(away, QHostAddress::LocalHost, 22, 1080));
    option.trigger();
    QVERIFY(w.guard().allows(away, QHostAddress::LocalHost, 22, 1080));
    h.open(); // kept for the next run
    QVERIFY(h.window->reachLocalServicesAction().isChecked());
    QVERIFY(h.window->guard().allows(away, QHostAddress::LocalHost, 22, 1080));
}

QTEST_MAIN(tst_UsersDialog)
#include "tst_usersdialog.moc"

#include "dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace ui {

namespace {

class WidgetDialogs final : public Dialogs
{
public:
    QString prompt(QWidget *parent, const QString &title, const QString &text) override
    {
        bool ok = false;
        const QString answer =
            QInputDialog::getText(parent, title, text, QLineEdit::Normal, {}, &ok);
        return ok ? answer : QString();
    }

    QString secret(QWidget *parent, const QString &title, const QString &text) override
    {
        bool ok = false;
        const QString answer =
            QInputDialog::getText(parent, title, text, QLineEdit::Password, {}, &ok);
        return ok ? answer : QString();
    }

    void critical(QWidget *parent, const QString &title, const QString &text) override
    {
        QMessageBox::critical(parent, title, text, QMessageBox::Ok);
    }

    bool question(QWidget *parent, const QString &title, const QString &text) override
    {
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No)
            == QMessageBox::Yes;
    }

    QString saveFileName(QWidget *parent, const QString &title) override
    {
        return QFileDialog::getSaveFileName(parent, title);
    }

    void beep() override { QApplication::beep(); }
};

} // namespace

std::unique_ptr<Dialogs> makeWidgetDialogs()
{
    return std::make_unique<WidgetDialogs>();
}

} // namespace ui

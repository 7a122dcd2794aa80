#pragma once

#include <QString>
#include <memory>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

namespace ui {

/// The window's modal conversations with the operator. The window never opens a dialog itself,
/// so tests can answer these without a blocking event loop.
class Dialogs
{
public:
    virtual ~Dialogs() = default;
    /// A modal text prompt with an empty default; the answer, or an empty text when cancelled.
    virtual QString prompt(QWidget *parent, const QString &title, const QString &text) = 0;
    /// Like prompt, but what is typed is not shown (a password).
    virtual QString secret(QWidget *parent, const QString &title, const QString &text)
    {
        return prompt(parent, title, text);
    }
    /// A modal message with the critical-error icon and an OK button.
    virtual void critical(QWidget *parent, const QString &title, const QString &text) = 0;
    /// A modal Yes/No question with the question icon; true for Yes.
    virtual bool question(QWidget *parent, const QString &title, const QString &text) = 0;
    /// A modal file chooser for saving; the chosen path, or an empty text when cancelled.
    virtual QString saveFileName(QWidget *parent, const QString &title) = 0;
    /// The system beep.
    virtual void beep() = 0;
};

/// The real dialogs: QInputDialog, QMessageBox, QFileDialog and QApplication::beep().
std::unique_ptr<Dialogs> makeWidgetDialogs();

} // namespace ui

#pragma once

// Every message box and file dialog of the program goes through here. A
// responder installed by a test answers them instead of a person, so no
// modal loop ever waits in a test; without one the real Qt dialogs run.

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace kestrune {

class LanguageTable;

// The text of a message for the user by its language key, filled with its arguments.
QString LanguageMessage(const LanguageTable& table, std::string_view key, std::vector<std::string> args = {});

struct MessageBoxRequest {
    QWidget* parent = nullptr;
    QString text;
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

struct FileDialogRequest {
    enum class Mode { Open, Save };
    QWidget* parent = nullptr;
    Mode mode = Mode::Open;
    QString directory; // where the dialog starts
    QString fileName;  // the name offered, with or without a folder
    QStringList nameFilters;
    QString defaultSuffix;        // added to a name typed without one
    bool confirmOverwrite = true; // save dialogs only
    bool executablesOnly = false; // offers only files the user may run (and folders to reach them)
};

class PromptResponder {
public:
    virtual ~PromptResponder() = default;
    // The button the user pressed; Cancel or Escape give the request's escape button.
    virtual QMessageBox::StandardButton AnswerMessage(const MessageBoxRequest& request) = 0;
    // The chosen file, or nullopt when the dialog was cancelled.
    virtual std::optional<QString> AnswerFile(const FileDialogRequest& request) = 0;
};

// Installs a responder (nullptr: the real dialogs again); gives the one it replaces.
PromptResponder* SetPromptResponder(PromptResponder* responder);

QMessageBox::StandardButton ShowMessageBox(const MessageBoxRequest& request);
std::optional<QString> ShowFileDialog(const FileDialogRequest& request);

// An OK box.
void InformUser(QWidget* parent, const QString& text, QMessageBox::Icon icon = QMessageBox::Information);
// A Yes/No question with No as the default button; true for Yes.
bool AskUser(QWidget* parent, const QString& text);

} // namespace kestrune

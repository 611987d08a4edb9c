#include "ui/Prompts.h"

#include "config/LanguageTable.h"

#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>

namespace kestrune {

namespace {

PromptResponder*& Responder()
{
    static PromptResponder* responder = nullptr;
    return responder;
}

QString Title()
{
    return QGuiApplication::applicationDisplayName();
}

} // namespace

QString LanguageMessage(const LanguageTable& table, std::string_view key, std::vector<std::string> args)
{
    return QString::fromStdU16String(MessageText(table, {std::string(key), std::move(args)}));
}

PromptResponder* SetPromptResponder(PromptResponder* responder)
{
    return std::exchange(Responder(), responder);
}

QMessageBox::StandardButton ShowMessageBox(const MessageBoxRequest& request)
{
    if (PromptResponder* responder = Responder()) return responder->AnswerMessage(request);
    QMessageBox box(request.icon, Title(), request.text, request.buttons, request.parent);
    if (request.defaultButton != QMessageBox::NoButton) box.setDefaultButton(request.defaultButton);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

std::optional<QString> ShowFileDialog(const FileDialogRequest& request)
{
    if (PromptResponder* responder = Responder()) return responder->AnswerFile(request);
    QFileDialog dialog(request.parent, Title(), request.directory);
    const bool save = request.mode == FileDialogRequest::Mode::Save;
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!request.nameFilters.isEmpty()) dialog.setNameFilters(request.nameFilters);
    dialog.setDefaultSuffix(request.defaultSuffix);
    if (save && !request.confirmOverwrite) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (request.executablesOnly) {
        // Only Qt's own dialog can hide the files the user may not run.
        dialog.setOption(QFileDialog::DontUseNativeDialog);
        dialog.setFilter(QDir::AllDirs | QDir::Files | QDir::Executable | QDir::NoDotAndDotDot);
    }
    if (!request.fileName.isEmpty()) dialog.selectFile(request.fileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void InformUser(QWidget* parent, const QString& text, QMessageBox::Icon icon)
{
    ShowMessageBox({parent, text, icon, QMessageBox::Ok, QMessageBox::Ok});
}

bool AskUser(QWidget* parent, const QString& text)
{
    return ShowMessageBox({parent, text, QMessageBox::Question, QMessageBox::Yes | QMessageBox::No, QMessageBox::No}) ==
           QMessageBox::Yes;
}

} // namespace kestrune

#pragma once

// Answers the program's message boxes and file dialogs in a test, the way a
// person would, and keeps every request so the test can see what was asked
// and said. While one lives it replaces the real dialogs (see ui/Prompts.h).

#include "ui/Prompts.h"

#include <QString>
#include <QStringList>

#include <deque>
#include <optional>
#include <vector>

namespace kestrune::test {

class ScriptedPrompts : public PromptResponder {
public:
    ScriptedPrompts() : m_previous(SetPromptResponder(this)) {}
    ~ScriptedPrompts() override { SetPromptResponder(m_previous); }
    ScriptedPrompts(const ScriptedPrompts&) = delete;
    ScriptedPrompts& operator=(const ScriptedPrompts&) = delete;

    // Answers in the order the boxes come. A box with no answer left gets
    // its default button (Enter), or OK.
    std::deque<QMessageBox::StandardButton> buttons;
    // Chosen files in the order the dialogs come; nullopt cancels. A dialog
    // with no answer left is cancelled.
    std::deque<std::optional<QString>> files;

    std::vector<MessageBoxRequest> messages;
    std::vector<FileDialogRequest> fileDialogs;

    QStringList Texts() const
    {
        QStringList texts;
        for (const MessageBoxRequest& m : messages) texts << m.text;
        return texts;
    }

    QMessageBox::StandardButton AnswerMessage(const MessageBoxRequest& request) override
    {
        messages.push_back(request);
        if (!buttons.empty()) {
            const QMessageBox::StandardButton answer = buttons.front();
            buttons.pop_front();
            return answer;
        }
        return request.defaultButton != QMessageBox::NoButton ? request.defaultButton : QMessageBox::Ok;
    }

    std::optional<QString> AnswerFile(const FileDialogRequest& request) override
    {
        fileDialogs.push_back(request);
        if (files.empty()) return std::nullopt;
        std::optional<QString> answer = files.front();
        files.pop_front();
        return answer;
    }

private:
    PromptResponder* m_previous;
};

} // namespace kestrune::test

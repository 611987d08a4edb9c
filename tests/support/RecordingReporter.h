#pragma once

// A reporter that keeps what the code tells the user, from any thread, and
// answers every question with its default No.

#include "common/Reporter.h"

#include <mutex>
#include <string>
#include <vector>

namespace kestrune::testing {

class RecordingReporter : public Reporter {
public:
    void Inform(const UserMessage& message) override
    {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(message);
    }
    bool Ask(const UserMessage& message) override
    {
        Inform(message);
        return false;
    }

    std::vector<UserMessage> Messages() const
    {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    // The language-table keys of the messages, in order.
    std::vector<std::string> Keys() const
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> keys;
        for (const UserMessage& message : m_messages) keys.push_back(message.key);
        return keys;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<UserMessage> m_messages;
};

} // namespace kestrune::testing

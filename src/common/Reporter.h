#pragma once

// How the core tells the user something without knowing whether a window or
// a terminal is listening. Texts are named by their language-table key; the
// front end looks the key up (falling back to the built-in text) and fills
// in the arguments.

#include <string>
#include <vector>

namespace kestrune {

struct UserMessage {
    std::string key;                // language-table key, e.g. "PROFILE_FORMAT_ERROR"
    std::vector<std::string> args;  // UTF-8 values the text refers to (a path, a list of names)
};

class Reporter {
public:
    virtual ~Reporter() = default;

    // An information or error box: the caller goes on when it returns.
    virtual void Inform(const UserMessage& message) = 0;

    // A Yes/No question with No as the default; true means Yes.
    virtual bool Ask(const UserMessage& message) = 0;
};

}  // namespace kestrune

#pragma once

// Messages and questions of the core, printed on standard error; every
// question is answered No.

#include "common/Reporter.h"

#include <cstdio>

namespace kestrune::bench {

class PrintingReporter final : public Reporter {
public:
    void Inform(const UserMessage& message) override { std::fprintf(stderr, "message: %s\n", message.key.c_str()); }
    bool Ask(const UserMessage& message) override
    {
        std::fprintf(stderr, "question: %s\n", message.key.c_str());
        return false;
    }
};

} // namespace kestrune::bench

#pragma once

// Sets (or, with nullopt, removes) an environment variable for the life of
// the object, and puts back what was there before.

#include <cstdlib>
#include <optional>
#include <string>

namespace kestrune::testing {

class EnvOverride {
public:
    EnvOverride(std::string name, const std::optional<std::string>& value) : m_name(std::move(name))
    {
        if (const char* old = std::getenv(m_name.c_str())) m_old = old;
        Apply(m_name, value);
    }
    ~EnvOverride() { Apply(m_name, m_old); }
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    static void Apply(const std::string& name, const std::optional<std::string>& value)
    {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

    std::string m_name;
    std::optional<std::string> m_old;
};

} // namespace kestrune::testing

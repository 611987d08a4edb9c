#pragma once

// A folder of the test's own, removed with everything in it when the object
// goes. Paths stay short (a control socket's path must fit in 107 bytes), so
// the folder is made in /tmp whatever TMPDIR says.

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace kestrune::testing {

class ScratchFolder {
public:
    // 'prefix' names the folder (/tmp/<prefix>-XXXXXX) so a leftover tells
    // which test made it.
    explicit ScratchFolder(std::string_view prefix = "kestrune")
    {
        std::string pattern = "/tmp/" + std::string(prefix) + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a scratch folder");
        m_path = pattern;
    }
    ~ScratchFolder()
    {
        // A test may have taken write access away from a folder it made.
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, ec);
        for (auto it = std::filesystem::recursive_directory_iterator(m_path, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code ignored;
            if (it->is_directory(ignored) && !it->is_symlink(ignored))
                std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::add, ignored);
        }
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

} // namespace kestrune::testing

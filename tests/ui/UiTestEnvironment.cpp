#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace {

// One application object for the whole run, made before the first test and
// destroyed after the last, while Qt's own globals still exist.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override { m_app = std::make_unique<QApplication>(m_argc, m_argv); }
    void TearDown() override { m_app.reset(); }

private:
    int m_argc = 1;
    char m_name[8] = "test_ui";
    char* m_argv[2] = {m_name, nullptr};
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

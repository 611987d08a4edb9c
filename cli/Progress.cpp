#include "Progress.h"

#include <ostream>

#include <unistd.h>

namespace kestrune::cli {

namespace {
constexpr int kBarWidth = 24;
constexpr int kBlockWidth = 6;
} // namespace

ProgressBar::ProgressBar(std::ostream& err, std::string label, bool enabled) : m_err(err), m_label(std::move(label))
{
    if (enabled) m_thread = std::thread([this] { Run(); });
}

ProgressBar::~ProgressBar()
{
    Finish();
}

void ProgressBar::Finish()
{
    {
        std::lock_guard lock(m_mutex);
        m_done = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void ProgressBar::Run()
{
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(m_mutex);
    if (m_wake.wait_for(lock, kProgressDelay, [this] { return m_done; })) return;
    // The transfer tells nothing of how far it has got, so the block sweeps to and fro.
    for (int step = 0; !m_done; ++step) {
        const int span = kBarWidth - kBlockWidth;
        const int phase = step % (2 * span);
        const int at = phase < span ? phase : 2 * span - phase;
        std::string bar(kBarWidth, ' ');
        bar.replace(static_cast<std::size_t>(at), kBlockWidth, kBlockWidth, '=');
        const auto tenths =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count() /
            100;
        m_err << "\r" << m_label << " [" << bar << "] " << tenths / 10 << "." << tenths % 10 << " s" << std::flush;
        m_wake.wait_for(lock, kProgressStep, [this] { return m_done; });
    }
    m_err << "\r\033[K" << std::flush;
}

bool StandardErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

} // namespace kestrune::cli

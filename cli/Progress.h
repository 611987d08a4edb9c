#pragma once

// A moving bar on standard error while a transfer runs, shown only on a
// terminal and only once the transfer has taken longer than half a second,
// so quick commands and scripts see nothing of it.

#include <chrono>
#include <condition_variable>
#include <iosfwd>
#include <mutex>
#include <string>
#include <thread>

namespace kestrune::cli {

inline constexpr std::chrono::milliseconds kProgressDelay{500};
inline constexpr std::chrono::milliseconds kProgressStep{100};

class ProgressBar {
public:
    // Draws on 'err' when 'enabled' (the caller checks it is a terminal).
    ProgressBar(std::ostream& err, std::string label, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Stops and wipes the bar; idempotent.
    void Finish();

private:
    void Run();

    std::ostream& m_err;
    std::string m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done = false;
    std::thread m_thread;
};

// Whether standard error is a terminal.
bool StandardErrorIsTerminal();

} // namespace kestrune::cli

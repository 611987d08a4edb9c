#pragma once

// What the idle benchmarks count: the context switches of every thread of the
// process but the main one (each is a thread that woke up), and the CPU time
// the process has used.

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace kestrune::bench {

// Context switches (voluntary + involuntary) of every thread but the main one, by thread id.
inline std::map<std::string, long> ThreadSwitches()
{
    std::map<std::string, long> switches;
    const std::string self = std::to_string(::getpid());
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const std::string tid = task.path().filename().string();
        if (tid == self) continue;
        std::ifstream status(task.path() / "status");
        long total = 0;
        for (std::string line; std::getline(status, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::atol(line.substr(line.find(':') + 1).c_str());
        switches[tid] = total;
    }
    return switches;
}

// Wake-ups between two counts; a thread that is new since the first counts whole.
inline long WakeupsBetween(const std::map<std::string, long>& before, const std::map<std::string, long>& after)
{
    long wakeups = 0;
    for (const auto& [tid, count] : after) {
        if (auto found = before.find(tid); found != before.end())
            wakeups += count - found->second;
        else
            wakeups += count;
    }
    return wakeups;
}

inline double CpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace kestrune::bench

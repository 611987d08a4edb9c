#pragma once

// How a dialog has keyboard work done without the GUI thread waiting for it:
// `job` runs on the thread that talks to the keyboard (the main window's
// device worker, where it queues behind the window's own jobs), then `then`
// runs on the GUI thread. A job must never wait for the GUI thread.

#include <functional>

namespace kestrune {

using DeviceJobRunner = std::function<void(std::function<void()> job, std::function<void()> then)>;

} // namespace kestrune

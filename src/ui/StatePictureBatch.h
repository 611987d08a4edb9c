#pragma once

// State pictures of one showing of a window, decoded on a thread of their
// own while the GUI thread gets on with the rest: LoadStateImage for each
// file in the order given, so the pictures the first paint needs can be put
// first and the others come after the window is up.

#include "ui/Skin.h"

#include <QSize>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class QObject;

namespace kestrune {

class StatePictureBatch {
public:
    // Starts decoding `files` (relative to the program folder, as
    // LoadStateImage takes them) for a window of `dialogSize`. When all are
    // decoded, `allDecoded` runs on the thread of `context`, unless the
    // batch was destroyed first; `context` outlives the batch.
    StatePictureBatch(const std::vector<std::string_view>& files, QSize dialogSize, QObject* context,
                      std::function<void()> allDecoded);
    // Stops after the picture in hand and waits for that one: no picture
    // outlives the batch and nothing arrives for it afterwards.
    ~StatePictureBatch();
    StatePictureBatch(const StatePictureBatch&) = delete;
    StatePictureBatch& operator=(const StatePictureBatch&) = delete;

    QSize DialogSize() const { return m_dialogSize; }
    // Picture `index` of the files, waiting for it when it is not decoded
    // yet. The batch keeps no copy: each picture is taken once.
    StateImage Take(std::size_t index);

private:
    struct Shared;
    QSize m_dialogSize;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

} // namespace kestrune

#include "ui/StatePictureBatch.h"

#include <QMetaObject>
#include <QObject>

#include <condition_variable>
#include <mutex>
#include <utility>

namespace kestrune {

struct StatePictureBatch::Shared {
    std::mutex mutex;
    std::condition_variable decoded;
    std::vector<StateImage> pictures;
    std::size_t count = 0; // pictures decoded so far, in order
    bool cancelled = false;
};

StatePictureBatch::StatePictureBatch(const std::vector<std::string_view>& files, QSize dialogSize, QObject* context,
                                     std::function<void()> allDecoded)
    : m_dialogSize(dialogSize), m_shared(std::make_shared<Shared>())
{
    m_shared->pictures.resize(files.size());
    std::vector<std::string> names(files.begin(), files.end());
    m_thread = std::thread([shared = m_shared, names = std::move(names), dialogSize, context,
                            allDecoded = std::move(allDecoded)]() mutable {
        for (std::size_t i = 0; i < names.size(); ++i) {
            {
                std::lock_guard lock(shared->mutex);
                if (shared->cancelled) return;
            }
            StateImage picture = LoadStateImage(names[i], dialogSize);
            std::lock_guard lock(shared->mutex);
            if (shared->cancelled) return;
            shared->pictures[i] = std::move(picture);
            shared->count = i + 1;
            shared->decoded.notify_all();
        }
        if (!allDecoded) return;
        // Delivered on the context's thread, and only to a batch still alive then.
        QMetaObject::invokeMethod(
            context,
            [shared, allDecoded = std::move(allDecoded)] {
                {
                    std::lock_guard lock(shared->mutex);
                    if (shared->cancelled) return;
                }
                allDecoded();
            },
            Qt::QueuedConnection);
    });
}

StatePictureBatch::~StatePictureBatch()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->cancelled = true;
        m_shared->pictures.clear();
    }
    if (m_thread.joinable()) m_thread.join();
}

StateImage StatePictureBatch::Take(std::size_t index)
{
    std::unique_lock lock(m_shared->mutex);
    if (index >= m_shared->pictures.size()) return StateImage();
    m_shared->decoded.wait(lock, [&] { return m_shared->count > index; });
    return std::exchange(m_shared->pictures[index], StateImage());
}

} // namespace kestrune

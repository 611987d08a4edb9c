#pragma once

// What the widget tests share: one application object for the whole
// program, pictures whose every pixel tells where it came from, and a
// parent that records the messages its controls post.

#include "ui/WindowMessage.h"

#include <QApplication>
#include <QColor>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kestrune::test {

// The application object lives from before the first test to after the last
// (see UiTestEnvironment.cpp), and is gone before the program's own exit
// handlers run.
inline QApplication& App()
{
    auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
    if (app == nullptr) throw std::logic_error("the widget tests run without their application object");
    return *app;
}

class QtTest : public ::testing::Test {
protected:
    QtTest() { App(); }
};

// A picture whose pixel (x, y) has red x % 256, green y % 256 and blue `tag`,
// so a copied face shows exactly which part of which picture it came from.
inline QImage CoordinateImage(QSize size, int tag)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) image.setPixel(x, y, qRgb(x % 256, y % 256, tag));
    }
    return image;
}

inline QImage SolidImage(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// Runs the event loop until `done` holds; false when it never does in time.
inline bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
    }
    return true;
}

// The colour of one pixel of what the widget draws now.
inline QColor PixelOf(QWidget& widget, QPoint at)
{
    return widget.grab().toImage().pixelColor(at);
}

// Keeps every WindowMessage posted to it, in order.
class MessageSink : public QWidget {
public:
    struct Message {
        int number;
        quintptr first;
        qintptr second;
        bool operator==(const Message&) const = default;
    };

    std::vector<Message> messages;

    // Delivers what has been posted so far.
    void Deliver() { QCoreApplication::sendPostedEvents(this); }

protected:
    bool event(QEvent* event) override
    {
        if (auto* message = dynamic_cast<WindowMessage*>(event)) {
            messages.push_back({message->message(), message->first(), message->second()});
            return true;
        }
        return QWidget::event(event);
    }
};

} // namespace kestrune::test

#include "config/Folders.h"

#include "support/ScratchFolder.h"

#include <QFile>

#include <filesystem>
#include <string>

namespace kestrune::test {

// A program folder of the test's own with a Skins folder in it; the real
// program folder comes back when the test ends.
class SkinFolderTest : public QtTest {
protected:
    SkinFolderTest()
    {
        skins = program / "Skins";
        std::filesystem::create_directories(skins);
        SetProgramFolder(program);
    }
    ~SkinFolderTest() override { SetProgramFolder(std::nullopt); }

    static void WriteText(const std::filesystem::path& file, const std::string& text)
    {
        QFile out(QString::fromStdString(file.string()));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(text.data(), static_cast<qint64>(text.size()));
    }

    static void WritePicture(const std::filesystem::path& file, const QImage& picture, const char* format)
    {
        ASSERT_TRUE(picture.save(QString::fromStdString(file.string()), format));
    }

    kestrune::testing::ScratchFolder folder{"kestrune-skins"};
    std::filesystem::path program = folder.Path();
    std::filesystem::path skins;
};

} // namespace kestrune::test

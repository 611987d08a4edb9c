// The lighting panel against the emulator's device library with the
// keyboard's latency of 1 ms per report each way:
// - how long after a slider is let go the keyboard holds its position;
// - the longest time the GUI thread is busy at once while a slider is
//   dragged back and forth for 2 s (the goal is one frame, 16 ms);
// - a drag painting across a row of key buttons, at the mouse's pace and as
//   fast as events come: the
//   updates and colour writes it costs, the GUI thread's longest busy time,
//   and how long after the release the keyboard holds every key.

#include "PanelRig.h"

#include "lighting/LightingWriter.h"
#include "ui/PictureSlider.h"
#include "ui/SkinColourButton.h"
#include "ui/WindowMessage.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

namespace kestrune::test {
namespace {

} // namespace

std::unique_ptr<PanelRig> OpenRig()
{
    emulator::KeyboardState state = emulator::FactoryKeyboardState();
    state.lighting[lightaddr::kEffect] = 2; // brightness and speed both show
    auto rig = std::make_unique<PanelRig>(state, true);
    rig->Control({"fault", "latency", "1000"});
    return rig;
}

namespace {

void BM_SliderReleaseToKeyboard(benchmark::State& state)
{
    auto rig = OpenRig();
    auto* slider = rig->Find<PictureSlider>("CONTROL_LightSlider");
    int position = 0;
    for (auto _ : state) {
        position = (position + 1) % (kBrightnessMax + 1);
        slider->SetPos(position);
        QElapsedTimer timer;
        timer.start();
        // What the slider posts when the mouse button comes up.
        QCoreApplication::postEvent(rig->window.get(),
                                    new WindowMessage(kSliderMoved, lightid::kBrightnessSlider, position));
        QCoreApplication::sendPostedEvents(rig->window.get());
        if (!rig->panel->Writer().WaitIdle(std::chrono::seconds(10))) state.SkipWithError("the write never finished");
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
        if (rig->Dump().lighting[lightaddr::kBrightness] != position)
            state.SkipWithError("the keyboard lacks the value");
    }
}
BENCHMARK(BM_SliderReleaseToKeyboard)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

void BM_GuiStallWhileDragging(benchmark::State& state)
{
    auto rig = OpenRig();
    auto* slider = rig->Find<PictureSlider>("CONTROL_LightSlider");
    double longest = 0;
    std::vector<double> stalls;
    for (auto _ : state) {
        const int y = slider->height() / 2;
        // The window's first paint is not part of the drag.
        rig->window->repaint();
        QTest::mousePress(slider, Qt::LeftButton, {}, {1, y});
        QCoreApplication::processEvents();
        QElapsedTimer drag;
        drag.start();
        int step = 0;
        while (drag.elapsed() < 2000) {
            // Back and forth over the whole slider, a few pixels a step.
            const int span = std::max(1, slider->width() - 2);
            const int x = 1 + (step * 3) % (2 * span);
            QElapsedTimer busy;
            busy.start();
            QTest::mouseMove(slider, {x < span ? x : 2 * span - x, y}, 0);
            QCoreApplication::processEvents();
            stalls.push_back(static_cast<double>(busy.nsecsElapsed()) / 1e6);
            ++step;
            QTest::qWait(4); // the mouse's own pace, about 250 moves a second
        }
        QTest::mouseRelease(slider, Qt::LeftButton, {}, {1, y});
        QCoreApplication::processEvents();
        rig->Settle();
    }
    const auto worst = std::max_element(stalls.begin(), stalls.end());
    state.counters["longest_at_move"] = worst == stalls.end() ? 0 : static_cast<double>(worst - stalls.begin());
    std::sort(stalls.begin(), stalls.end());
    longest = stalls.empty() ? 0 : stalls.back();
    state.counters["second_ms"] = stalls.size() > 1 ? stalls[stalls.size() - 2] : 0;
    state.counters["longest_ms"] = longest;
    state.counters["p99_ms"] = stalls.empty() ? 0 : stalls[stalls.size() * 99 / 100];
    state.counters["moves"] = static_cast<double>(stalls.size());
}
BENCHMARK(BM_GuiStallWhileDragging)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_DragPaintAcrossKeys(benchmark::State& state)
{
    auto rig = OpenRig();
    rig->ChooseEffect(kEffectPerKey);
    rig->Settle();
    constexpr int kKeys = 40;
    std::vector<QPushButton*> keys;
    for (int i = 0; i < kKeys; ++i) {
        auto* key = new QPushButton(rig->window.get());
        key->setGeometry(240 + 22 * i, 480, 20, 20);
        key->show();
        rig->panel->WatchKeyButton(key, i);
        keys.push_back(key);
    }
    double longest = 0, settleMs = 0;
    std::size_t updates = 0, colourWrites = 0;
    int colour = 0;
    for (auto _ : state) {
        Q_EMIT rig->Find<SkinColourButton>("CONTROL_USERysButton")->colourChosen(QColor(++colour % 256, 40, 80));
        rig->Settle();
        const std::size_t mark = rig->Mark();
        // The first key holds the mouse: every move and the release go to it.
        auto send = [&](QEvent::Type type, int x, Qt::MouseButtons held) {
            const QPointF local = keys[0]->mapFrom(rig->window.get(), QPoint(x, 490));
            QMouseEvent event(type, local, keys[0]->mapToGlobal(local), Qt::LeftButton, held, {});
            QElapsedTimer busy;
            busy.start();
            QApplication::sendEvent(keys[0], &event);
            QCoreApplication::processEvents();
            longest = std::max(longest, static_cast<double>(busy.nsecsElapsed()) / 1e6);
        };
        send(QEvent::MouseButtonPress, 250, Qt::LeftButton);
        for (int x = 250; x < 240 + 22 * kKeys; x += 4) {
            send(QEvent::MouseMove, x, Qt::LeftButton);
            // The mouse's own pace (argument 4), or as fast as events come (0).
            if (state.range(0) > 0) QTest::qWait(static_cast<int>(state.range(0)));
        }
        send(QEvent::MouseButtonRelease, 240 + 22 * kKeys - 4, Qt::NoButton);
        QElapsedTimer settle;
        settle.start();
        if (!rig->panel->Writer().WaitIdle(std::chrono::seconds(20))) state.SkipWithError("the paints never finished");
        settleMs = static_cast<double>(settle.nsecsElapsed()) / 1e6;
        for (const SentReport& r : rig->SentSince(mark)) {
            updates += r.command == static_cast<std::uint8_t>(wire::Command::BeginUpdate) ? 1 : 0;
            colourWrites += r.command == static_cast<std::uint8_t>(wire::Command::WriteColours) ? 1 : 0;
        }
    }
    const auto iterations = static_cast<double>(state.iterations());
    state.counters["keys"] = kKeys;
    state.counters["updates"] = static_cast<double>(updates) / iterations;
    state.counters["colour_writes"] = static_cast<double>(colourWrites) / iterations;
    state.counters["longest_gui_ms"] = longest;
    state.counters["release_to_keyboard_ms"] = settleMs;
}
BENCHMARK(BM_DragPaintAcrossKeys)->Arg(4)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace kestrune::test

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // --render FOLDER: the panel of each effect as PNG files, to look the layout over.
    if (argc == 3 && QByteArray(argv[1]) == "--render") {
        auto rig = kestrune::test::OpenRig();
        for (int effect : {1, 2, 4, 5, 9, 11}) {
            rig->ChooseEffect(effect);
            rig->Settle();
            rig->window->grab(QRect(0, 0, 240, 560))
                .save(QString::fromLatin1(argv[2]) + QStringLiteral("/panel-effect-%1.png").arg(effect));
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

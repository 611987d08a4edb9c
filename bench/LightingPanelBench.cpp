// The lighting panel against the emulator's device library with the
// keyboard's latency of 1 ms per report each way:
// - how long after a slider is let go the keyboard holds its position;
// - the longest time the GUI thread is busy at once while a slider is
//   dragged back and forth for 2 s (the goal is one frame, 16 ms).

#include "PanelRig.h"

#include "lighting/LightingWriter.h"
#include "ui/CBitmapSlider.h"
#include "ui/WindowMessage.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <benchmark/benchmark.h>

#include <unistd.h>

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
    auto rig = std::make_unique<PanelRig>(
        std::filesystem::temp_directory_path() / ("kestrune-bench-panel-" + std::to_string(::getpid())), state, true);
    rig->Control({"fault", "latency", "1000"});
    return rig;
}

namespace {

void BM_SliderReleaseToKeyboard(benchmark::State& state)
{
    auto rig = OpenRig();
    auto* slider = rig->Find<CBitmapSlider>("CONTROL_LightSlider");
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
    auto* slider = rig->Find<CBitmapSlider>("CONTROL_LightSlider");
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

// The key dialog's action list while a long macro is recorded: what each
// recorded key costs the GUI thread as the list grows to the keyboard's cap
// of actions, against what building the whole list once costs at that size
// (the price of every key when the list was built again for each).
//
//   bench_macro_recording
// Runs offscreen on the default skin in build/bin/Skins.

#include "config/ConfigStore.h"
#include "config/Folders.h"
#include "config/Settings.h"
#include "macro/MacroRecord.h"
#include "ui/KeyAssignmentDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTest>

#include <linux/input-event-codes.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

using namespace kestrune;

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetProgramFolder(std::filesystem::path(KESTRUNE_PROGRAM_DIR));
    const auto settingsPath =
        std::filesystem::temp_directory_path() / ("kestrune-bench-recording-" + std::to_string(::getpid()) + ".ini");
    IniUserSettings settings(settingsPath);
    ConfigStore store;
    store.CreateDefaultConfiguration();
    KeyAssignmentDialog dialog(store, settings, KeyDialogHost{});
    dialog.SetAsk([](const QString&, bool) { return true; });
    if (!dialog.Open(keydlg::kGKeyButtonIds[0])) {
        std::fprintf(stderr, "the dialog did not open\n");
        return 1;
    }
    auto click = [&](const char* name) { QTest::mouseClick(dialog.findChild<QWidget*>(name), Qt::LeftButton); };
    click("CONTROL_MACRO");
    click("FUNC_MACRO_ADD");
    click("FUNC_MACRO_RECORD");

    constexpr int kReport = 250; // rows per line of the report
    std::vector<double> costs;
    std::uint64_t at = 1000;
    for (std::size_t i = 0; i < kMaxMacroActions; ++i) {
        at += 7;
        QKeyEvent event(i % 2 == 0 ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, KEY_A + 8,
                        0, 0);
        event.setTimestamp(at);
        QWidget* target = dialog.focusWidget() != nullptr ? dialog.focusWidget() : &dialog;
        QElapsedTimer timer;
        timer.start();
        QApplication::sendEvent(target, &event);
        QApplication::processEvents();
        costs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    click("FUNC_MACRO_RECORD");
    std::printf("rows recorded: %zu\n", dialog.Actions().Size());
    std::printf("%12s %18s %18s\n", "rows", "mean ms per key", "worst ms per key");
    for (std::size_t from = 0; from < costs.size(); from += kReport) {
        const auto begin = costs.begin() + static_cast<std::ptrdiff_t>(from);
        const auto end = costs.begin() + static_cast<std::ptrdiff_t>(std::min(costs.size(), from + kReport));
        double sum = 0;
        for (auto it = begin; it != end; ++it) sum += *it;
        std::printf("%5zu-%-6zu %18.3f %18.3f\n", from, static_cast<std::size_t>(end - costs.begin()),
                    sum / static_cast<double>(end - begin), *std::max_element(begin, end));
    }
    // The whole list built once at its full size: selecting the macro again does it.
    auto* names = dialog.findChild<QComboBox*>("FUNC_MACRO_LIST");
    QElapsedTimer rebuild;
    rebuild.start();
    names->setCurrentIndex(-1);
    names->setCurrentIndex(0);
    QApplication::processEvents();
    std::printf("building the list of %zu rows once: %.3f ms\n", dialog.Actions().Size(),
                static_cast<double>(rebuild.nsecsElapsed()) / 1e6);
    dialog.CloseIfOpen();
    std::filesystem::remove(settingsPath);
    return 0;
}

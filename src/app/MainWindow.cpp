#include "app/MainWindow.h"

#include "app/AboutDialog.h"
#include "app/WindowPresence.h"
#include "app/WindowReporter.h"
#include "config/ConfigStore.h"
#include "config/Folders.h"
#include "config/IniFile.h"
#include "config/KeyButtonText.h"
#include "config/LanguageTable.h"
#include "config/ProfileFile.h"
#include "config/ProfileFileCheck.h"
#include "config/Settings.h"
#include "device/Transfer.h"
#include "lighting/Lighting.h"
#include "session/KeyboardSession.h"
#include "ui/KeyAssignmentDialog.h"
#include "ui/UserDialogs.h"
#include "ui/WindowMessage.h"

#include <QApplication>
#include <QCursor>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <cstdio>
#include <string>

namespace kestrune {

using namespace mainwnd;

namespace {

// How soon a display refresh that found the configuration busy tries again.
constexpr int kDisplayRetryMs = 20;
// The showing a first attach announces comes within this, or the pictures
// made ready for it are dropped.
constexpr int kPreparedPicturesMs = 10000;
// How often a thread waiting for the worker looks whether shutdown has begun.
constexpr std::chrono::milliseconds kWorkerPoll{50};

// The pictures a button takes for (normal, over, down, disable, other), by
// letter: N, O, D, X for the first set's normal, over, down and disable.
struct PlacedControl {
    int id;
    const char* skinKey;
    const char* pictures;
};

// The controls outside the keyboard picture.
constexpr PlacedControl kControls[] = {
    {kIdOk, "CONTROL_OK", "NODNN"},
    {kIdCancel, "CONTROL_CANCEL", "NODNN"},
    {kIdProfiles, "FUNC_PROFILES", "NODNN"},
    {kIdApply, "CONTROL2_APPLY", "NODXN"},
    {kIdMacro, "FUNC_MACRO", "NODNN"},
    {kIdLink, "ZELVOR_LINK", "NOXNN"},
    {kIdHelp, "CONTROL_HELP", "NODNN"},
    {kIdMinimize, "CONTROL_MINIMIZE", "NODNN"},
    {kIdClose, "CONTROL_CLOSE", "NODNN"},
    {kIdMenu, "CONTROL_MENU", "NODNN"},
    {kIdVersion, "ZELVOR_VER", "NNNNN"},
    {kIdProfile1, "FUNC_PROFILE1", "NODNX"},
    {kIdProfile1 + 1, "FUNC_PROFILE2", "NODNX"},
    {kIdProfile1 + 2, "FUNC_PROFILE3", "NODNX"},
    {kIdDefault, "FUNC_DEFAULT", "NODNX"},
    {kIdSwitch, "FUNC_SWITCH", "NODNX"},
    {kIdLockCaps, "LOCK_CAPS", "NNNNO"},
    {kIdLockNum, "LOCK_NUM", "NNNNO"},
    {kIdLockScroll, "LOCK_SCROLL", "NNNNO"},
    {kIdLockBank, "LOCK_AB", "NNNNO"},
    {kIdFlip0, "FLIP_0", "NNNNX"},
    {kIdFlip1, "FLIP_1", "NODNX"},
    {kIdFlip2, "FLIP_2", "NODNX"},
};
constexpr const char* kKeyButtonPictures = "NODNX";

// Buttons the user never operates: indicators and pictures.
constexpr int kAlwaysDisabled[] = {kIdVersion, kIdLockCaps, kIdLockNum, kIdLockScroll, kIdFlip0};

QString ToQString(const std::u16string& text)
{
    return QString::fromStdU16String(text);
}

// Swallows the file check's message for an import: that message says the
// default settings were restored, true where the working file is read but
// not for an import, which leaves everything as it was and says so itself.
class QuietReporter : public Reporter {
public:
    void Inform(const UserMessage&) override {}
    bool Ask(const UserMessage&) override { return false; }
};

std::filesystem::path ProgramPath(std::string_view relative)
{
    return ProgramFolder() / std::filesystem::path(std::string(relative));
}

} // namespace

MainWindow::MainWindow(UserSettings& settings, QWidget* parent)
    : SkinnedDialog(parent, ProgramPath(kMainSkin), kestrune::SkinFolder()), m_settings(settings),
      m_reporter(std::make_unique<WindowReporter>(this))
{
    setObjectName(QStringLiteral("mainWindow"));
    // The window spends most of its life hidden in the tray: its pictures,
    // tens of megabytes decoded, are held only while it is shown.
    SetPicturesWhileShownOnly(true);
    // Hidden, the window is a tool window: no taskbar entry until shown.
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setWindowIcon(QApplication::windowIcon());
    setWindowTitle(ToQString(TheLanguageTable().Text("MAIN_CAPTION")));

    m_progressTimer = new QTimer(this);
    m_progressTimer->setObjectName(QStringLiteral("timer1050"));
    m_progressTimer->setInterval(kProgressPeriodMs);
    connect(m_progressTimer, &QTimer::timeout, this, &MainWindow::NextProgressFrame);

    m_lightingTimer = new QTimer(this);
    m_lightingTimer->setObjectName(QStringLiteral("timer1051"));
    m_lightingTimer->setSingleShot(true);
    m_lightingTimer->setInterval(0);
    connect(m_lightingTimer, &QTimer::timeout, this, &MainWindow::OnLightingTimer);

    m_displayRetry = new QTimer(this);
    m_displayRetry->setObjectName(QStringLiteral("displayRetryTimer"));
    m_displayRetry->setSingleShot(true);
    m_displayRetry->setInterval(kDisplayRetryMs);
    connect(m_displayRetry, &QTimer::timeout, this, &MainWindow::RetryDisplay);

    m_profileMenu = new QMenu(this);
    m_profileMenu->setObjectName(QStringLiteral("profileMenu"));

    m_preparedDrop = new QTimer(this);
    m_preparedDrop->setObjectName(QStringLiteral("preparedPicturesTimer"));
    m_preparedDrop->setSingleShot(true);
    m_preparedDrop->setInterval(kPreparedPicturesMs);
    connect(m_preparedDrop, &QTimer::timeout, this, [this] {
        if (!isVisible() && PicturesLoaded()) DropShownPictures();
    });

    // The window's first text (the lighting panel's boxes, then the
    // captions painted) makes Qt read in every font of the system, several
    // milliseconds: a thread of its own does it while this one loads the
    // keyboard's library and makes the controls. The font database takes
    // its own lock, so whichever thread comes second waits or finds it read.
    m_fontWarmup = std::thread([] { QFontDatabase::families(); });
}

MainWindow::~MainWindow()
{
    m_fontWarmup.join();
    m_pictureBatch.reset();
    // The worker's jobs use this window: they end before it does.
    m_worker.Stop();
}

Reporter& MainWindow::GetReporter()
{
    return *m_reporter;
}

void MainWindow::SetKeyboard(const KeyboardLink& link)
{
    m_link = link;
    CreateLightingPanel();
    if (m_link.store != nullptr) PlugKeyDialog(*m_link.store);
}

// The key dialog plugs into the child-window hooks the program has not
// filled itself. It is made at its first opening: most starts never open
// it, and the window's first showing should not wait for its widgets. One
// never made is not open and has nothing to close.
void MainWindow::PlugKeyDialog(ConfigStore& store)
{
    if (!m_children.openKeyDialog)
        m_children.openKeyDialog = [this, &store](int id) { MakeKeyDialog(store).OpenKeyDialog(id); };
    if (!m_children.keyDialogOpen)
        m_children.keyDialogOpen = [this] { return m_keyDialog != nullptr && m_keyDialog->IsOpen(); };
    if (!m_children.closeKeyDialog)
        m_children.closeKeyDialog = [this] {
            if (m_keyDialog != nullptr) m_keyDialog->CloseIfOpen();
        };
}

KeyAssignmentDialog* MainWindow::KeyDialog()
{
    return m_keyDialog == nullptr && m_link.store != nullptr ? &MakeKeyDialog(*m_link.store) : m_keyDialog;
}

KeyAssignmentDialog& MainWindow::MakeKeyDialog(ConfigStore& store)
{
    if (m_keyDialog != nullptr) return *m_keyDialog;
    KeyDialogHost host;
    host.activeProfile = [this] { return ActiveProfile(); };
    host.bankB = [this] { return BankB(); };
    host.keyOfButton = [](int id) -> std::optional<KeyIndex> {
        for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i)
            if (kKeyButtonIds[i] == id) return KeyButtonOrder[i];
        return std::nullopt;
    };
    host.buttonRect = [this](int id) {
        const ImageButton* button = Button(id);
        return button != nullptr ? QRect(button->mapToGlobal(QPoint(0, 0)), button->size()) : QRect();
    };
    host.showButtonPressed = [this](int id, bool pressed) {
        if (ImageButton* button = Button(id)) button->setDown(pressed);
    };
    host.showButtonAssigned = [this](int id, bool assigned) {
        if (ImageButton* button = Button(id)) button->SetSelected(assigned);
    };
    host.resetKeyButton = [this](std::size_t slot) { ResetKeyButton(slot); };
    host.runDevice = [this](std::function<void()> job, std::function<void()> then) {
        RunOnDevice(std::move(job), std::move(then));
    };
    host.setUnappliedChanges = [this] { SetUnappliedChanges(true); };
    host.refreshKeyTooltips = [this] { RefreshKeyButtons(); };
    host.macroCapacity = [this] { return m_link.transfer != nullptr ? m_link.transfer->MacroCapacity() : 0; };
    m_keyDialog = new KeyAssignmentDialog(store, m_settings, std::move(host), this);
    return *m_keyDialog;
}

// KeyButtonTooltip: the caption, and what the key is set to.
void MainWindow::SetKeyTooltip(ImageButton* button, const std::u16string& caption, const KeyAssignment* slot,
                               const CurrentCopy& copy)
{
    const KeyAssignment assignment = slot != nullptr ? *slot : KeyAssignment{};
    button->SetTooltipText(ToQString(KeyButtonTooltipText(TheLanguageTable(), caption, assignment, copy.Macros())),
                           true);
}

void MainWindow::SetKeyboard(KeyboardSession& session)
{
    SetKeyboard(KeyboardLink{&session.Store(), &session.GetTransfer(), &session.GetLighting(), &session.Events(),
                             &session.Protocol()});
}

bool MainWindow::Initialise()
{
    if (!OnInitDialog()) return false;
    Post(kMsgInit, kParamInit);
    return true;
}

bool MainWindow::OnInitDialog()
{
    if (!SkinnedDialog::OnInitDialog()) return false;
    // Nothing here touches autostart: the desktop's autostart entry is the
    // user's own, made by the desktop or by hand.
    // No probe for translucent-window support either: Qt offers window
    // shapes on every platform it runs on.
    // No marker value on the window: a second instance reaches it through
    // the instance socket, not by looking through the desktop's windows.
    // No named events: nothing ever waited on them.
    if (!m_controlsMade) {
        for (const PlacedControl& control : kControls) MakeButton(control.id, QString::fromLatin1(control.skinKey));
        for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i) {
            m_keyButtons[i] = MakeButton(kKeyButtonIds[i],
                                         QString::fromStdString(KeyButtonSkinKey(CompactFromKey(KeyButtonOrder[i]))));
        }
        for (int n = 1; n <= kGKeyCount; ++n)
            m_gKeyButtons[static_cast<std::size_t>(n - 1)] =
                MakeButton(kGKeyIds[static_cast<std::size_t>(n - 1)], QString::fromStdString(MacroKeySkinKey(n)));
        MakeButton(kIdFn, QStringLiteral("KEY_FN"));
        for (int d = 0; d < kVariantKeyCount; ++d)
            m_variantKeys[static_cast<std::size_t>(d)] = MakeButton(kIdD1 + d, QStringLiteral("KEY_D%1").arg(d + 1));
        MakeButton(kIdLeftArrow, QStringLiteral("LEFT_ARROW"));
        MakeButton(kIdRightArrow, QStringLiteral("RIGHT_ARROW"));

        m_progress = new QLabel(this);
        m_progress->setObjectName(QStringLiteral("CONTROL_JDTStatic"));
        m_progress->setScaledContents(true);
        m_progress->hide();
        m_controlsMade = true;
    }
    m_skinLink = ReadSkinScreen(SkinIniPath()).link;
    PlaceControls();
    PlaceKeyboardPicture();
    CreateLightingPanel();
    SetUnappliedChanges(m_unappliedChanges);
    m_colourKeysMode = false;
    Recaption();
    return true;
}

// The state pictures are decoded on a thread of their own while this one
// decodes the background and shapes the window. The first paint waits only
// for those it shows; the hover and press looks (and the colour marks
// outside colour-keys mode) come after the window is up.
void MainWindow::StartPictureBatch()
{
    m_pictureBatch.reset();
    std::vector<std::pair<std::string_view, StateImage*>> early{
        {kMainPictures.normal, &m_normal}, {kMainPictures.disable, &m_disable}, {kArrowPicture, &m_arrow}};
    std::vector<std::pair<std::string_view, StateImage*>> late{{kMainPictures.over, &m_over},
                                                               {kMainPictures.down, &m_down}};
    auto& colours = m_colourKeysMode ? early : late;
    colours.insert(colours.end(), {{kColourUnmarkedPicture, &m_colour0}, {kColourMarkedPicture, &m_colour1}});
    m_earlyPictures = early.size();
    early.insert(early.end(), late.begin(), late.end());
    std::vector<std::string_view> files;
    m_batchTargets.clear();
    for (const auto& [file, target] : early) {
        files.push_back(file);
        m_batchTargets.push_back(target);
    }
    m_pictureBatch = std::make_unique<StatePictureBatch>(files, size(), this, [this] { TakeLatePictures(); });
}

bool MainWindow::LoadShownPictures()
{
    StartPictureBatch();
    if (!SkinnedDialog::LoadShownPictures()) {
        m_pictureBatch.reset();
        return false;
    }
    // A background of another size than the header said when the window
    // was made (the skin changed meanwhile) needs pictures of its size.
    if (m_pictureBatch->DialogSize() != size()) StartPictureBatch();
    for (std::size_t i = 0; i < m_earlyPictures; ++i) *m_batchTargets[i] = m_pictureBatch->Take(i);
    // The second set comes from the same files: it shares the first set's
    // pixels instead of holding another 14 MB of the same.
    m_normal2 = m_normal;
    m_disable2 = m_disable;
    if (auto* application = QCoreApplication::instance()) application->installEventFilter(this);
    HandOutPictures();
    return true;
}

void MainWindow::FirstAttachBegins()
{
    QMetaObject::invokeMethod(
        this, [this] { PrepareShownPictures(); }, Qt::QueuedConnection);
}

// The first attach brings the window up once the keyboard is read: its
// pictures are decoded meanwhile, while this thread has nothing else to do.
// Should the window not come up after all, the tray gets its memory back.
void MainWindow::PrepareShownPictures()
{
    if (isVisible() || !IsInitialised() || PicturesLoaded()) return;
    if (!LoadShownPictures()) return;
    m_preparedDrop->start();
}

void MainWindow::showEvent(QShowEvent* event)
{
    m_preparedDrop->stop();
    SkinnedDialog::showEvent(event);
}

void MainWindow::TakeLatePictures()
{
    if (!m_pictureBatch) return;
    // Out of the member first: handing the pictures out may ask for them again.
    const std::unique_ptr<StatePictureBatch> batch = std::move(m_pictureBatch);
    if (auto* application = QCoreApplication::instance()) application->removeEventFilter(this);
    for (std::size_t i = m_earlyPictures; i < m_batchTargets.size(); ++i) *m_batchTargets[i] = batch->Take(i);
    m_over2 = m_over;
    m_down2 = m_down;
    HandOutPictures();
}

const std::array<StateImage MainWindow::*, 11>& MainWindow::StatePictures()
{
    static constexpr std::array<StateImage MainWindow::*, 11> pictures{
        &MainWindow::m_normal,  &MainWindow::m_over,    &MainWindow::m_down,   &MainWindow::m_disable,
        &MainWindow::m_normal2, &MainWindow::m_over2,   &MainWindow::m_down2,  &MainWindow::m_disable2,
        &MainWindow::m_arrow,   &MainWindow::m_colour0, &MainWindow::m_colour1};
    return pictures;
}

bool MainWindow::HoldsStatePictures() const
{
    if (m_pictureBatch) return true;
    return std::any_of(StatePictures().begin(), StatePictures().end(),
                       [this](StateImage MainWindow::*picture) { return !(this->*picture).isNull(); });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Until the late pictures are in, the first pointer or key event for
    // this window takes them (waiting if need be) before any button looks
    // for its hover or press face.
    if (m_pictureBatch && watched->isWidgetType()) {
        switch (event->type()) {
        case QEvent::Enter:
        case QEvent::HoverEnter:
        case QEvent::MouseMove:
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::ShortcutOverride:
            if (static_cast<QWidget*>(watched)->window() == this) TakeLatePictures();
            break;
        default:
            break;
        }
    }
    return SkinnedDialog::eventFilter(watched, event);
}

void MainWindow::DropShownPictures()
{
    // Pictures still being decoded are dropped with the rest: none arrives for a hidden window.
    m_pictureBatch.reset();
    if (auto* application = QCoreApplication::instance()) application->removeEventFilter(this);
    SkinnedDialog::DropShownPictures();
    for (StateImage MainWindow::*picture : StatePictures()) this->*picture = StateImage();
    // Every button lets go of its copies too, or the pixels would stay.
    HandOutPictures();
#ifdef __GLIBC__
    // The freed pictures were large blocks in the middle of the heap: give
    // their pages back now rather than when the heap happens to shrink.
    ::malloc_trim(0);
#endif
}

// The buttons take their faces from the state pictures as they are now
// (null while the window is hidden).
void MainWindow::HandOutPictures()
{
    if (!m_controlsMade) return;
    PlaceControls();
    PlaceKeyboardPicture();
    for (int id : {kIdLeftArrow, kIdRightArrow}) {
        ImageButton* arrow = Button(id);
        arrow->ReplaceImages(m_arrow, m_arrow, m_arrow, m_arrow, m_arrow);
    }
    RepaintColourMarks();
    if (m_panel != nullptr) m_panel->SetStatePictures(m_normal, m_over, m_down, m_disable);
}

ImageButton* MainWindow::MakeButton(int id, const QString& objectName)
{
    auto* button = new ImageButton(this);
    button->setObjectName(objectName);
    button->setProperty("controlId", id);
    m_buttons[id] = button;
    connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
    return button;
}

ImageButton* MainWindow::Button(int id) const
{
    const auto found = m_buttons.find(id);
    return found == m_buttons.end() ? nullptr : found->second;
}

void MainWindow::PlaceButton(int id, const std::string& skinKey, const char* pictures)
{
    const auto picture = [this](char letter) -> const StateImage& {
        switch (letter) {
        case 'O':
            return m_over;
        case 'D':
            return m_down;
        case 'X':
            return m_disable;
        default:
            return m_normal;
        }
    };
    PlaceImageButton(*Button(id), SkinIniPath(), kPlacementSection, skinKey, picture(pictures[0]), picture(pictures[1]),
                     picture(pictures[2]), picture(pictures[3]), picture(pictures[4]));
}

void MainWindow::PlaceControls()
{
    for (const PlacedControl& control : kControls) PlaceButton(control.id, control.skinKey, control.pictures);
    for (int id : kAlwaysDisabled) Button(id)->setEnabled(false);
    // The bank indicator shows bank B with its other picture, which a
    // disabled button never draws: it stays enabled but takes no input.
    Button(kIdLockBank)->setAttribute(Qt::WA_TransparentForMouseEvents);
    Button(kIdLockBank)->setFocusPolicy(Qt::NoFocus);
    PlaceControl(*m_progress, SkinIniPath(), kPlacementSection, "CONTROL_JDTStatic");

    ApplyCaptionStyle(*Button(kIdProfiles), kProfilesButtonCaption);
    ApplyCaptionStyle(*Button(kIdSwitch), kSwitchButtonCaption);
    ApplyCaptionStyle(*Button(kIdVersion), kVersionLabelCaption);
    for (int id :
         {kIdOk, kIdCancel, kIdApply, kIdMacro, kIdProfile1, kIdProfile1 + 1, kIdProfile1 + 2, kIdDefault, kIdLink})
        ApplyCaptionStyle(*Button(id), kTextButtonCaption);
}

void MainWindow::PlaceKeyboardPicture()
{
    for (int n = 1; n <= kGKeyCount; ++n)
        PlaceButton(kGKeyIds[static_cast<std::size_t>(n - 1)], MacroKeySkinKey(n), kKeyButtonPictures);
    // G6 to G9 are shown but never react.
    for (int n = kGKeysThatReact; n < kGKeyCount; ++n) m_gKeyButtons[static_cast<std::size_t>(n)]->setEnabled(false);
    for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i)
        PlaceButton(kKeyButtonIds[i], KeyButtonSkinKey(CompactFromKey(KeyButtonOrder[i])), kKeyButtonPictures);
    PlaceButton(kIdFn, "KEY_FN", kKeyButtonPictures);
    for (int d = 0; d < kVariantKeyCount; ++d)
        PlaceButton(kIdD1 + d, "KEY_D" + std::to_string(d + 1), kKeyButtonPictures);

    // Overlapping pictures: the macro keys lie over the bank indicator and
    // "]}" over the Enter key; stacking keeps them drawn on top.
    Button(kIdLockBank)->lower();
    Button(kIdEnter)->lower();
    for (int id : {kIdFlip1, kIdFlip2}) {
        Button(id)->SetDrawCallback([this, id](QWidget*, bool drewNormal) { PlaceArrow(id == kIdFlip1, drewNormal); });
    }
    Button(kIdLeftArrow)->setEnabled(false);
    Button(kIdRightArrow)->setEnabled(false);
    Button(kIdLeftArrow)->hide();
    Button(kIdRightArrow)->hide();
    ApplyLayoutVariant();
}

void MainWindow::PlaceArrow(bool left, bool drawn)
{
    ImageButton* arrow = Button(left ? kIdLeftArrow : kIdRightArrow);
    // Each arrow shows while its flip button is in its plain look, with the
    // picture of the present layout variant.
    const int variant = ReadFlipSetting(m_settings);
    const QString wanted = drawn ? QString::number(variant != 0) : QString();
    if (arrow->property("arrowState").toString() == wanted) return;
    arrow->setProperty("arrowState", wanted);
    if (drawn) {
        PlaceArrowButton(*arrow, SkinIniPath(), kPlacementSection, left ? "LEFT_ARROW" : "RIGHT_ARROW",
                         kArrowPictureSection, ArrowPictureKey(variant, left), m_arrow);
    }
    arrow->setVisible(drawn);
}

void MainWindow::ApplyLayoutVariant()
{
    const int variant = ReadFlipSetting(m_settings);
    for (int f = 0; f < 4; ++f) Button(kIdF1 + f)->setEnabled(variant == 0);
    for (ImageButton* key : m_variantKeys) key->setEnabled(variant != 0);
    const StateImage& plate = variant == 0 ? m_normal : m_normal2;
    Button(kIdFlip0)->ReplaceImages(plate, plate, plate, plate, m_disable);
    // The arrows take the new variant's pictures at the next drawing.
    for (int id : {kIdLeftArrow, kIdRightArrow}) Button(id)->setProperty("arrowState", QString());
    Button(kIdFlip1)->update();
    Button(kIdFlip2)->update();
}

void MainWindow::OnFlip()
{
    const int variant = ReadFlipSetting(m_settings);
    if (Status written = WriteFlipSetting(m_settings, variant == 0 ? 1 : 0); !written)
        qWarning("the layout variant was not stored: %s", written.error().c_str());
    ApplyLayoutVariant();
}

QString MainWindow::LanguageText(std::string_view key) const
{
    return ToQString(TheLanguageTable().Text(key));
}

QString MainWindow::CaptionText(std::string_view key) const
{
    // The window's own captions follow the window's language, which the last
    // switch may have set even when the file could not store it.
    return MainCaptionText(key);
}

void MainWindow::Recaption()
{
    setWindowTitle(LanguageText("MAIN_CAPTION"));
    const std::pair<int, const char*> captions[] = {
        {kIdProfile1, "PROFILE_1"},    {kIdProfile1 + 1, "PROFILE_2"},  {kIdProfile1 + 2, "PROFILE_3"},
        {kIdMacro, "PROFILE_MACRO"},   {kIdDefault, "PROFILE_DEFAULT"}, {kIdOk, "PROFILE_OK"},
        {kIdCancel, "PROFILE_CANCLE"}, {kIdApply, "PROFILE_APPLY"},
    };
    for (const auto& [id, key] : captions) Button(id)->setText(CaptionText(key));
    Button(kIdHelp)->SetTooltipText(LanguageText("MAIN_HELP_PROMPT"), true);
    Button(kIdMinimize)->SetTooltipText(CaptionText("MAIN_MINIMIZE_PROMPT"), true);
    Button(kIdMenu)->SetTooltipText(CaptionText("MAIN_MENU_PROMPT"), true);
    Button(kIdClose)->SetTooltipText(CaptionText("MAIN_CLOSE_PROMPT"), true);
    Button(kIdVersion)->setText(LanguageText("MAIN_BUTTON_ZELVOR_VER"));
    Button(kIdLink)->setText(m_skinLink);
    Button(kIdLink)->SetTooltipText(m_skinLink, true);
    SetSwitchCaption();
    BuildProfileMenu(false);
    SetAccessibleTexts();
    Q_EMIT trayTipChanged(TrayTip());
    update();
}

void MainWindow::SetSwitchCaption()
{
    Button(kIdSwitch)->setText(LanguageText(m_colourKeysMode ? "MAIN_SWITCH_COLOR_TEXT" : "MAIN_SWITCH_FUNCTION_TEXT"));
    Button(kIdSwitch)->SetTooltipText(Button(kIdSwitch)->text(), true);
    Button(kIdSwitch)->setAccessibleName(Button(kIdSwitch)->text());
}

void MainWindow::SetAccessibleTexts()
{
    for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i)
        m_keyButtons[i]->setAccessibleName(ToQString(KeyName(KeyButtonOrder[i])));
    for (int n = 1; n <= kGKeyCount; ++n)
        m_gKeyButtons[static_cast<std::size_t>(n - 1)]->setAccessibleName(QStringLiteral("G%1").arg(n));
    Button(kIdFn)->setAccessibleName(QStringLiteral("Fn"));
    // Lights and layout buttons show pictures only: their names come from
    // texts of their own, so a screen reader never reads an object name.
    const std::pair<int, const char*> pictureNames[] = {
        {kIdLockCaps, "MAIN_LIGHT_CAPS_NAME"},
        {kIdLockNum, "MAIN_LIGHT_NUM_NAME"},
        {kIdLockScroll, "MAIN_LIGHT_SCROLL_NAME"},
        {kIdLockBank, "MAIN_LIGHT_BANK_NAME"},
        {kIdFlip0, "MAIN_FLIP_NAME"},
        {kIdFlip1, "MAIN_FLIP_NAME"},
        {kIdFlip2, "MAIN_FLIP_NAME"},
        {kIdLeftArrow, "MAIN_FLIP_NAME"},
        {kIdRightArrow, "MAIN_FLIP_NAME"},
    };
    for (const auto& [id, key] : pictureNames) {
        QString name = CaptionText(key).trimmed();
        if (name.isEmpty()) name = ToQString(std::u16string(BuiltInLanguageText(key).value_or(u"")));
        Button(id)->setAccessibleName(name);
    }
    for (auto& [id, button] : m_buttons) {
        QString name = button->text().trimmed();
        if (name.isEmpty()) name = button->TooltipText().trimmed();
        if (!name.isEmpty())
            button->setAccessibleName(name);
        else if (button->accessibleName().isEmpty())
            button->setAccessibleName(button->objectName());
        if (!button->TooltipText().isEmpty()) button->setAccessibleDescription(button->TooltipText());
    }
}

QString MainWindow::TrayTip() const
{
    return LanguageText("KEYBOARD_TRAY_DESC");
}

// --- Messages ----------------------------------------------------------------

void MainWindow::Post(int message, std::uint32_t first, std::intptr_t second)
{
    QCoreApplication::postEvent(this, new WindowMessage(message, first, second));
}

bool MainWindow::event(QEvent* event)
{
    const int type = static_cast<int>(event->type());
    if (type >= QEvent::User && type <= QEvent::MaxUser) {
        if (const auto* message = dynamic_cast<const WindowMessage*>(event)) {
            const auto first = static_cast<std::uint32_t>(message->first());
            switch (message->message()) {
            case kMsgInit:
                if (first == kParamInit) DeferredInitialisation();
                return true;
            case kMsgOpen:
            case kMsgKill:
                HandleInstanceMessage(message->message(), first);
                return true;
            case kMsgRefresh:
                if (first == kParamProf) RefreshAfterAttach();
                return true;
            case kMsgDetached:
                CloseChildWindows();
                return true;
            case kMsgBank:
                if (first == kParamLed) MarkBank(message->second() != 0);
                return true;
            case kMsgProgressStart:
                StartProgress();
                return true;
            case kMsgProgressStop:
                StopProgress();
                return true;
            default:
                break;
            }
        }
    }
    return SkinnedDialog::event(event);
}

void MainWindow::HandleInstanceMessage(int message, std::uint32_t param)
{
    if (message == kMsgOpen && param == kParamOpen) ShowMainWindow();
    if (message == kMsgKill && param == kParamKill) Exit();
    // Posted: the later start waits for this handler to return, not for the dialog to close.
    if (message == kMsgOpen && param == kParamFirmwareUpdate)
        QMetaObject::invokeMethod(
            this, [this] { OnCommand(kCmdUpdate); }, Qt::QueuedConnection);
}

void MainWindow::DeferredInitialisation()
{
    m_trayIcon = kIconDetached;
    Q_EMIT deferredInitialisation();
    BuildProfileMenu(true);
    m_initialisedFlag = true;
    if (m_link.events != nullptr) m_link.events->InitialisedChanged();
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    if (!TakeDialogKey(event)) SkinnedDialog::keyPressEvent(event);
}

void MainWindow::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && m_lighting.backgroundPress &&
        m_lighting.backgroundPress(event->position().toPoint()))
        return;
    SkinnedDialog::mousePressEvent(event);
}

// --- Commands -------------------------------------------------------------------

void MainWindow::OnCommand(int command)
{
    if (command >= kCmdDefaultProfile && command <= kCmdLastProfile) {
        SwitchProfile(command - (kCmdDefaultProfile + 1));
        return;
    }
    switch (command) {
    case kIdOk:
        OnOK();
        return;
    case kIdCancel:
        OnCancel();
        return;
    case kIdProfiles:
        if (m_children.runProfileManager) m_children.runProfileManager();
        return;
    case kIdApply:
        Apply();
        return;
    case kIdMacro:
        OpenKeyDialog(kGKeyIds[kGKeyCount - 1]);
        return;
    case kIdProfileMenu:
        ShowProfileMenuAtCursor();
        return;
    case kIdLink:
        OpenLink();
        return;
    case kIdHelp:
        OpenHelp();
        return;
    case kIdMinimize:
        showMinimized();
        return;
    case kIdClose:
        OnCloseButton();
        return;
    case kIdMenu:
        OnMenuButton();
        return;
    case kIdDefault:
        OnRestoreDefaults();
        return;
    case kIdSwitch:
        m_colourKeysMode = !m_colourKeysMode;
        SetSwitchCaption();
        RepaintColourMarks();
        return;
    case kIdFlip1:
    case kIdFlip2:
        OnFlip();
        return;
    case kIdLockBank:
        return; // an indicator: its click does nothing
    case kCmdOpen:
        ShowMainWindow();
        return;
    case kCmdAbout:
        OpenAbout();
        return;
    case kCmdExit:
    case kCmdClose:
        Exit();
        return;
    case kCmdImport:
        OnImport();
        return;
    case kCmdExport:
        OnExport();
        return;
    case kCmdUpdate:
        if (m_children.runUpdateDialog) m_children.runUpdateDialog();
        return;
    case kCmdChinese:
        OnSwitchLanguage(kChineseLanguageIndex);
        return;
    case kCmdEnglish:
        OnSwitchLanguage(kEnglishLanguageIndex);
        return;
    default:
        break;
    }
    if (command >= kIdProfile1 && command < kIdProfile1 + 3) {
        OnProfileButton(command - kIdProfile1);
        return;
    }
    OnKeyButton(command);
}

void MainWindow::OnKeyButton(int id)
{
    const bool lightSwitch = m_lighting.perKeyLightSwitchOn && m_lighting.perKeyLightSwitchOn();
    if (id == kIdFn) {
        if (lightSwitch && m_lighting.paintKeyColour) m_lighting.paintKeyColour(id);
        return;
    }
    for (int n = 0; n < kGKeysThatReact; ++n) {
        if (kGKeyIds[static_cast<std::size_t>(n)] == id) {
            OpenKeyDialog(id);
            return;
        }
    }
    for (int key : kKeyButtonIds) {
        if (key != id) continue;
        if (lightSwitch) {
            if (m_lighting.paintKeyColour) m_lighting.paintKeyColour(id);
        } else {
            OpenKeyDialog(id);
        }
        return;
    }
}

void MainWindow::OpenKeyDialog(int buttonId)
{
    int gKey = 0;
    std::optional<std::size_t> position;
    for (int n = 1; n <= kGKeyCount; ++n)
        if (kGKeyIds[static_cast<std::size_t>(n - 1)] == buttonId) gKey = n;
    for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i)
        if (kKeyButtonIds[i] == buttonId) position = i;
    if (gKey == 0 && !position) return;

    if (!m_colourKeysMode) {
        if (m_children.openKeyDialog) m_children.openKeyDialog(buttonId);
        return;
    }
    TakeLatePictures(); // the colour marks
    // In colour-keys mode a click marks or unmarks the key instead.
    const int profile = ActiveProfile();
    if (profile < 0) return;
    const bool bankB = BankB();
    WithCurrentCopy([this, gKey, position, profile, bankB, buttonId](CurrentCopy& copy) {
        const std::size_t slot = gKey != 0 ? *ColourMarkSlotOfGKey(gKey, bankB ? GKeyBank::B : GKeyBank::A)
                                           : ColourMarkSlotOfButton(*position);
        KeyAssignment* assignment = copy.Assignment(static_cast<std::size_t>(profile), slot);
        if (assignment == nullptr) return;
        assignment->mark = assignment->mark != 0 ? 0 : 1;
        Button(buttonId)->SetCheckImages(m_colour0, m_colour1, m_colourKeysMode, assignment->mark != 0);
        SetUnappliedChanges(true);
    });
}

void MainWindow::OnProfileButton(int profile)
{
    if (m_lighting.perKeyLightSwitchOn && m_lighting.perKeyLightSwitchOn() && m_lighting.switchOffKeyLights)
        m_lighting.switchOffKeyLights();
    if (ActiveProfile() == profile) return;
    if (SwitchProfile(profile) == 0) return;
    for (int n = 0; n < 3; ++n) Button(kIdProfile1 + n)->SetSelected(n == profile);
    m_colourKeysMode = false;
    SetSwitchCaption();
    RepaintColourMarks();
}

void MainWindow::OnRestoreDefaults()
{
    if (!AskYesNo(this, LanguageText("MAIN_PROMPT_DEFAULT"))) return;
    ResetAllAssignments();
    if (m_lighting.perKeyLightSwitchOn && m_lighting.perKeyLightSwitchOn() && m_lighting.restoreDefaults)
        m_lighting.restoreDefaults();
    Apply();
}

void MainWindow::ResetKeyButton(std::size_t slot)
{
    ImageButton* button = nullptr;
    std::u16string caption;
    for (std::size_t i = 0; i < kOrdinaryKeyCount && button == nullptr; ++i) {
        if (SlotOfKey(KeyButtonOrder[i]) != slot) continue;
        button = m_keyButtons[i];
        caption = KeyButtonCaption(KeyButtonOrder[i]);
    }
    const GKeyBank bank = BankB() ? GKeyBank::B : GKeyBank::A;
    for (int n = 1; n <= kGKeyCount && button == nullptr; ++n) {
        if (GKeySlot(n, bank) != slot) continue;
        button = m_gKeyButtons[static_cast<std::size_t>(n - 1)];
        caption = GKeyButtonCaption(n);
    }
    if (button == nullptr) return;
    button->SetSelected(false);
    button->SetTooltipText(ToQString(KeyButtonTooltipText(TheLanguageTable(), caption, KeyAssignment{}, {})), true);
}

void MainWindow::ResetAllAssignments()
{
    const int profile = ActiveProfile();
    if (profile < 0 || m_link.store == nullptr) return;
    const GKeyBank bank = BankB() ? GKeyBank::B : GKeyBank::A;
    // On the worker, ahead of the Apply that follows: the reset must reach
    // the copy before the download reads it, and the lock may be busy now.
    RunOnDevice(
        [store = m_link.store, profile, bank] {
            std::lock_guard lock(store->CurrentLock());
            CurrentCopy& copy = store->Current();
            for (KeyIndex key : KeyButtonOrder) {
                if (KeyAssignment* slot = copy.Assignment(static_cast<std::size_t>(profile), SlotOfKey(key)))
                    *slot = KeyAssignment{};
            }
            for (int n = 1; n <= kGKeyCount; ++n) {
                // The macro key keeps its identity; everything else goes.
                if (KeyAssignment* slot = copy.Assignment(static_cast<std::size_t>(profile), *GKeySlot(n, bank))) {
                    *slot = KeyAssignment{};
                    slot->aux = GKeyId(n, bank);
                }
            }
        },
        [this] {
            RefreshKeyButtons();
            SetUnappliedChanges(true);
        });
    // The reset counts as an edit from the moment it is queued, so the Apply
    // that follows it downloads.
    SetUnappliedChanges(true);
}

void MainWindow::OnCloseButton()
{
    if (AskYesNo(this, LanguageText("MAIN_CLOSE_DIALOG"))) Exit();
}

QMenu* MainWindow::BuildButtonMenu()
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("buttonMenu"));
    menu->setAccessibleName(Button(kIdMenu)->TooltipText());
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const std::pair<const char*, int> entries[] = {
        {"MENU_1", kCmdImport}, {"MENU_2", kCmdExport}, {"MENU_3", kCmdAbout}, {"MENU_4", kCmdClose}};
    for (const auto& [key, command] : entries) {
        QAction* action = menu->addAction(CaptionText(key));
        action->setObjectName(QStringLiteral("command%1").arg(command));
        connect(action, &QAction::triggered, this, [this, command = command] { OnCommand(command); });
    }
    menu->addSeparator();
    const std::pair<const char*, int> languages[] = {{"CHINESE_5", kCmdChinese}, {"ENGINSH_6", kCmdEnglish}};
    for (const auto& [key, command] : languages) {
        QAction* action = menu->addAction(CaptionText(key));
        action->setObjectName(QStringLiteral("command%1").arg(command));
        action->setCheckable(true);
        action->setChecked(MainCaptionsInEnglish() == (command == kCmdEnglish));
        connect(action, &QAction::triggered, this, [this, command = command] { OnCommand(command); });
    }
    return menu;
}

void MainWindow::OnMenuButton()
{
    BuildButtonMenu()->popup(QCursor::pos());
}

void MainWindow::ShowProfileMenuAtCursor()
{
    if (isVisible()) {
        raise();
        activateWindow();
    }
    m_profileMenu->popup(QCursor::pos());
}

void MainWindow::OpenAbout()
{
    if (m_about) {
        m_about->raise();
        m_about->activateWindow();
        return;
    }
    m_about = new AboutDialog(m_skinLink, MainCaptionsInEnglish(), this);
    m_about->show();
}

void MainWindow::OpenHelp()
{
    kestrune::OpenHelp(this);
}

void MainWindow::OpenLink()
{
    OpenUrl(QUrl(m_skinLink), this);
}

void MainWindow::OnSwitchLanguage(int index)
{
    const Status stored = SwitchLanguage(index, [this](int languageIndex) {
        Recaption();
        // The key buttons' tooltips say what each key is set to in the table's words.
        RefreshKeyButtons();
        if (m_lighting.recaption) m_lighting.recaption(languageIndex);
        if (m_link.lighting != nullptr) {
            RunOnDevice([lighting = m_link.lighting] { lighting->ReadLightingState(true); },
                        [this] {
                            if (m_lighting.refresh) m_lighting.refresh();
                        });
        }
        Q_EMIT languageSwitched(languageIndex);
    });
    if (!stored) qWarning("the language choice was not stored: %s", stored.error().c_str());
}

// --- Showing and hiding ---------------------------------------------------------

bool MainWindow::KeyboardAttached() const
{
    return m_link.events != nullptr && m_link.events->LastPresence() != 0;
}

bool MainWindow::BankB() const
{
    return m_link.events != nullptr && m_link.events->BankB();
}

int MainWindow::ActiveProfile() const
{
    return m_link.transfer != nullptr ? m_link.transfer->CachedActiveProfile() : kUnknownProfile;
}

void MainWindow::ShowMainWindow()
{
    if (!KeyboardAttached()) {
        m_reporter->Inform({"MAIN_NO_DEVICE_PROMPT", {}});
        return;
    }
    // Shown, the window is an application window with a taskbar entry.
    ShowAsAppWindow(this);
}

void MainWindow::OnOK()
{
    Apply();
    HideMainWindow();
}

void MainWindow::OnCancel()
{
    HideMainWindow();
}

void MainWindow::HideMainWindow()
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this] { HideMainWindow(); }, Qt::QueuedConnection);
        return;
    }
    HideToTray(this);
}

void MainWindow::CloseChildWindows()
{
    if (m_about) m_about->close();
    if (m_children.closeProfileManager) m_children.closeProfileManager();
    if (m_children.closeKeyDialog) m_children.closeKeyDialog();
}

void MainWindow::Exit()
{
    HideMainWindow();
    if (ShutDown() == 1) Q_EMIT exitRequested();
}

int MainWindow::ShutDown()
{
    if (m_shutDown) return 1;
    m_shutDown = true;
    CloseChildWindows();
    // A download in progress finishes; nothing queued after it starts.
    m_worker.Stop();
    // No named mutex or named events to close here: single instance is the
    // program's lock file and socket, which end with the process.
    m_trayIcon = 0;
    SetUnappliedChanges(false);
    if (m_link.store != nullptr) {
        m_link.store->EmptyCurrentCopy();
        m_link.store->EmptyWorkingCopy();
    }
    return 1;
}

// --- Apply -----------------------------------------------------------------------

void MainWindow::SetUnappliedChanges(bool pending)
{
    m_unappliedChanges = pending;
    if (ImageButton* apply = Button(kIdApply)) apply->setEnabled(pending && !m_applyRunning);
}

void MainWindow::ClearUnappliedChanges()
{
    QMetaObject::invokeMethod(
        this, [this] { SetUnappliedChanges(false); }, Qt::QueuedConnection);
}

void MainWindow::PostApply()
{
    QMetaObject::invokeMethod(
        this, [this] { Apply(); }, Qt::QueuedConnection);
}

void MainWindow::Apply()
{
    // One download at a time: a second Apply while one runs has nothing to add.
    if (m_applyRunning || m_shutDown) return;
    m_applyRunning = true;
    SetUnappliedChanges(m_unappliedChanges);
    Post(kMsgProgressStart);

    const auto finish = [this](bool succeeded) {
        m_applyRunning = false;
        if (succeeded)
            SetUnappliedChanges(false);
        else
            SetUnappliedChanges(m_unappliedChanges);
        Post(kMsgProgressStop);
        BuildProfileMenu(false);
        Q_EMIT applyFinished(succeeded);
    };
    if (!m_unappliedChanges) {
        finish(true);
        return;
    }
    if (m_link.store == nullptr || m_link.transfer == nullptr) {
        m_reporter->Inform({"MAIN_DOWNLOAD_FAILED", {}});
        finish(false);
        return;
    }
    struct Outcome {
        Status saved;
        int downloaded = kDownloadFailed;
    };
    auto outcome = std::make_shared<Outcome>();
    RunOnDevice(
        [store = m_link.store, transfer = m_link.transfer, outcome] {
            std::lock_guard lock(store->CurrentLock());
            outcome->saved = SaveWorkingProfileFile(*store);
            if (outcome->saved) outcome->downloaded = store->TakeWorkingSnapshot(false, *transfer);
        },
        [this, outcome, finish] {
            if (!outcome->saved)
                m_reporter->Inform({"MAIN_APPLY_SAVE_FAILED", {outcome->saved.error()}});
            else if (outcome->downloaded != kDownloadSucceeded)
                m_reporter->Inform({"MAIN_DOWNLOAD_FAILED", {}});
            finish(outcome->saved.ok() && outcome->downloaded == kDownloadSucceeded);
        });
}

void MainWindow::StartProgress()
{
    if (m_progressFrames[0].isNull()) {
        for (int i = 0; i < kProgressFrames; ++i) {
            const auto file = SkinFolder() / ("jdt" + std::to_string(i + 1) + ".bmp");
            m_progressFrames[static_cast<std::size_t>(i)] = QImage(ToQString(file.u16string()));
        }
    }
    ++m_progressRun;
    m_progressFrame = 0;
    m_progress->setPixmap(QPixmap::fromImage(m_progressFrames[0]));
    m_progress->show();
    m_progress->raise();
    m_progressTimer->start();
}

void MainWindow::NextProgressFrame()
{
    m_progressFrame = (m_progressFrame + 1) % kProgressFrames;
    m_progress->setPixmap(QPixmap::fromImage(m_progressFrames[static_cast<std::size_t>(m_progressFrame)]));
}

void MainWindow::StopProgress()
{
    // The picture stays a moment, so even an Apply with nothing to send is seen.
    const int run = m_progressRun;
    QTimer::singleShot(kProgressLingerMs, this, [this, run] {
        if (run != m_progressRun) return;
        m_progressTimer->stop();
        m_progress->hide();
    });
}

// --- Import and export -------------------------------------------------------------

void MainWindow::OnImport()
{
    FileDialogRequest request;
    request.caption = CaptionText("MENU_1");
    if (auto folder = ProfileFolder()) request.initialPath = ToQString(folder->u16string());
    request.filter = QString::fromLatin1(kProfileFileFilter);
    request.defaultSuffix = QString::fromLatin1(kProfileFileExtension);
    const QString chosen = AskFileName(this, request);
    if (chosen.isEmpty()) return;
    const std::filesystem::path path(chosen.toStdU16String());
    struct Outcome {
        Status read;
        Status saved;
        int downloaded = kDownloadFailed;
    };
    auto outcome = std::make_shared<Outcome>();
    Post(kMsgProgressStart);
    RunOnDevice(
        [store = m_link.store, transfer = m_link.transfer, path, outcome] {
            // Read and parsed once, before the configuration is touched: a
            // file that fails to read leaves it as it was.
            QuietReporter quiet;
            Result<CurrentCopy> copy = LoadProfileFile(path, quiet);
            if (!copy) {
                outcome->read = Error{copy.error()};
                return;
            }
            if (store == nullptr || transfer == nullptr) return;
            std::lock_guard lock(store->CurrentLock());
            store->Current() = std::move(*copy);
            outcome->saved = SaveWorkingProfileFile(*store);
            outcome->downloaded = store->TakeWorkingSnapshot(true, *transfer);
        },
        [this, outcome, linked = m_link.store != nullptr && m_link.transfer != nullptr] {
            Post(kMsgProgressStop);
            if (!outcome->read) {
                // One box: the import failed, and which file and why on a line of its own.
                ShowInformation(this, LanguageText("MAIN_PROMPT_INPORT").trimmed() + QLatin1Char('\n') +
                                          QString::fromStdString(outcome->read.error()));
                return;
            }
            if (!linked) return;
            RefreshKeyButtons();
            if (!outcome->saved) m_reporter->Inform({"MAIN_APPLY_SAVE_FAILED", {outcome->saved.error()}});
            if (outcome->downloaded != kDownloadSucceeded) {
                m_reporter->Inform({"MAIN_DOWNLOAD_FAILED", {}});
                SetUnappliedChanges(true);
                return;
            }
            SetUnappliedChanges(false);
        });
}

void MainWindow::OnExport()
{
    FileDialogRequest request;
    request.save = true;
    request.caption = CaptionText("MENU_2");
    if (auto folder = ProfileFolder()) request.initialPath = ToQString(folder->u16string());
    request.filter = QString::fromLatin1(kProfileFileFilter);
    request.defaultSuffix = QString::fromLatin1(kProfileFileExtension);
    const QString chosen = AskFileName(this, request);
    if (chosen.isEmpty() || m_link.store == nullptr) return;
    const std::filesystem::path path(chosen.toStdU16String());
    auto written = std::make_shared<Status>();
    RunOnDevice([store = m_link.store, path, written] { *written = WriteProfileFile(*store, path); },
                [this, path, written] {
                    if (!*written) m_reporter->Inform({"MAIN_EXPORT_FAILED", {path.string(), written->error()}});
                });
}

// --- Profiles ------------------------------------------------------------------------

int MainWindow::SwitchProfile(int index)
{
    if (index >= 3) index = 0;
    if (m_children.keyDialogOpen && m_children.keyDialogOpen()) {
        m_reporter->Inform({"PROFILE_SEELCT_PROMPT2", {}});
        return 0;
    }
    Transfer* transfer = m_link.transfer;
    const bool managerPending = m_children.profileManagerApplyPending && m_children.profileManagerApplyPending();
    bool tellManager = false;
    if (!managerPending && !m_unappliedChanges) {
        tellManager = true;
    } else if (!m_switchQuestionShowing) {
        m_switchQuestionShowing = true;
        const bool save = AskYesNo(this, LanguageText("PROFILE_SELECT_PROMPT"));
        m_switchQuestionShowing = false;
        if (save) {
            // Queued ahead of the switch: the edits reach the profile they were made on.
            Apply();
        } else {
            SetUnappliedChanges(false);
            if (ActiveProfile() >= 0 && m_link.store != nullptr) {
                RunOnDevice([store = m_link.store] {
                    auto path = WorkingProfilePath();
                    if (!path) return;
                    std::lock_guard lock(store->CurrentLock());
                    store->EmptyCurrentCopy();
                    if (Status read = ReadProfileFile(*store, *path); !read)
                        std::fprintf(stderr, "kestrune: %s\n", read.error().c_str());
                });
            }
        }
    }
    RunOnDevice(
        [transfer, index] {
            if (transfer != nullptr) transfer->SetActiveProfile(index);
        },
        [this, transfer, index, tellManager] {
            if (tellManager && m_children.profileManagerSwitched) m_children.profileManagerSwitched(index);
            RefreshKeyButtons();
            BuildProfileMenu(false);
            // The menus switch too, and the profile buttons must not go on
            // showing the profile the keyboard has left.
            ShowActiveProfileButton();
            // Nor one it never reached: the user hears that the switch failed.
            // (A negative index is the default item: the keyboard stays.)
            const int active = ActiveProfile();
            if (transfer != nullptr && index >= 0 && active != index) {
                for (int n = 0; n < 3; ++n) Button(kIdProfile1 + n)->SetSelected(n == active);
                m_reporter->Inform({"PROFILE_SWITCH_FAILED", {std::to_string(index + 1)}});
            }
        });
    return 1;
}

void MainWindow::BuildProfileMenu(bool /*create*/)
{
    // One menu for the life of the window, emptied and filled again.
    m_profileMenu->clear();
    const int active = ActiveProfile();
    QAction* checked = nullptr;
    const auto add = [&](const QString& text, int command, bool isChecked) {
        QAction* action = m_profileMenu->addAction(text);
        action->setObjectName(QStringLiteral("command%1").arg(command));
        action->setCheckable(true);
        action->setChecked(isChecked);
        if (isChecked) checked = action;
        connect(action, &QAction::triggered, this, [this, command] { OnCommand(command); });
    };
    add(LanguageText("DEFAULT_PROFILE_NAME"), kCmdDefaultProfile, active < 0);
    m_profileMenu->addSeparator();
    for (int i = 0; i < 3; ++i) add(KeyboardProfileName(i), kCmdDefaultProfile + 1 + i, active == i);
    if (ImageButton* profiles = Button(kIdProfiles); profiles != nullptr && checked != nullptr) {
        profiles->setText(checked->text());
        profiles->SetTooltipText(LanguageText("PROFILE_TIP") + checked->text(), true);
        profiles->setAccessibleName(profiles->TooltipText());
        m_profileMenu->setAccessibleName(profiles->TooltipText());
    }
}

void MainWindow::ShowActiveProfileButton()
{
    const int active = ActiveProfile();
    if (active < 0) return;
    for (int n = 0; n < 3; ++n) Button(kIdProfile1 + n)->SetSelected(n == active);
}

// --- Device events -------------------------------------------------------------------

void MainWindow::RunOnDevice(std::function<void()> job, std::function<void()> then)
{
    m_worker.Run([this, job = std::move(job), then = std::move(then)] {
        job();
        if (then) QMetaObject::invokeMethod(this, then, Qt::QueuedConnection);
    });
}

void MainWindow::SendRefreshProfile()
{
    if (m_link.transfer == nullptr) return;
    Transfer* transfer = m_link.transfer;
    Lighting* lighting = m_link.lighting;
    ConfigStore* store = m_link.store;
    const auto refresh = [this, transfer, lighting, store] {
        // Edits the keyboard never took (it went away before, or during,
        // their Apply) are the user's: the copy read from the keyboard would
        // replace them, so they come back over it and Apply stays on.
        // The lock is held throughout, so nobody sees the keyboard's copy in between.
        bool kept = false;
        if (store != nullptr && m_unappliedChanges) {
            std::lock_guard lock(store->CurrentLock());
            if (store->Current().HasBlock()) {
                CurrentCopy unsent = std::move(store->Current());
                store->Current() = CurrentCopy();
                transfer->RefreshFromKeyboard(true);
                store->Current() = std::move(unsent);
                kept = true;
            }
        }
        if (!kept) transfer->RefreshFromKeyboard(false);
        if (lighting != nullptr) lighting->ReadLightingState(true);
    };
    if (m_worker.OnWorkerThread()) {
        refresh();
    } else {
        // The keyboard work waits its turn behind a download rather than
        // interleaving with it. The attach thread holds no lock here, and
        // the worker never waits for the GUI thread, so this wait ends.
        std::future<void> done = m_worker.Run(refresh);
        while (done.wait_for(kWorkerPoll) != std::future_status::ready) {
            if (m_worker.Stopped() || (m_link.events != nullptr && m_link.events->Stopping())) break;
        }
    }
    Post(kMsgRefresh, kParamProf);
}

void MainWindow::RefreshAfterAttach()
{
    ShowActiveProfileButton();
    if (m_lighting.refresh) m_lighting.refresh();
    RefreshKeyButtons();
    BuildProfileMenu(false);
}

void MainWindow::SendDetached()
{
    Post(kMsgDetached);
}

void MainWindow::PostOpen()
{
    Post(kMsgOpen, kParamOpen);
}

void MainWindow::SendBankChanged(bool bankB)
{
    Post(kMsgBank, kParamLed, bankB ? 1 : 0);
}

void MainWindow::StartLightingTimer()
{
    QMetaObject::invokeMethod(
        this, [this] { m_lightingTimer->start(); }, Qt::QueuedConnection);
}

void MainWindow::OnLightingTimer()
{
    m_lightingTimer->stop();
    if (m_link.lighting == nullptr) return;
    RunOnDevice([lighting = m_link.lighting] { lighting->ReadLightingState(false); },
                [this] {
                    if (m_lighting.refresh) m_lighting.refresh();
                });
}

void MainWindow::SetTrayIcon(int iconId)
{
    if (m_trayIcon.exchange(iconId) == iconId) return;
    QMetaObject::invokeMethod(
        this, [this, iconId] { Q_EMIT trayIconChanged(iconId); }, Qt::QueuedConnection);
}

void MainWindow::RefreshKeyDisplay()
{
    QMetaObject::invokeMethod(
        this, [this] { RefreshKeyButtons(); }, Qt::QueuedConnection);
}

// --- The key display -----------------------------------------------------------------

void MainWindow::WithCurrentCopy(std::function<void(CurrentCopy&)> use)
{
    if (m_link.store == nullptr) return;
    std::recursive_mutex& lock = m_link.store->CurrentLock();
    if (!lock.try_lock()) {
        m_waitingForCopy.push_back(std::move(use));
        m_displayRetry->start();
        return;
    }
    std::lock_guard held(lock, std::adopt_lock);
    use(m_link.store->Current());
}

void MainWindow::RetryDisplay()
{
    std::vector<std::function<void(CurrentCopy&)>> waiting;
    waiting.swap(m_waitingForCopy);
    for (auto& use : waiting) WithCurrentCopy(std::move(use));
}

void MainWindow::RefreshKeyButtons()
{
    const int profile = ActiveProfile();
    WithCurrentCopy([this, profile](CurrentCopy& copy) {
        for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i) {
            const KeyAssignment* slot =
                profile < 0 ? nullptr
                            : copy.Assignment(static_cast<std::size_t>(profile), SlotOfKey(KeyButtonOrder[i]));
            m_keyButtons[i]->SetSelected(slot != nullptr && slot->type != AssignmentType::Default);
            SetKeyTooltip(m_keyButtons[i], KeyButtonCaption(KeyButtonOrder[i]), slot, copy);
        }
    });
    MarkBank(BankB());
    RepaintColourMarks();
}

void MainWindow::MarkBank(bool bankB)
{
    Button(kIdLockBank)->SetSelected(bankB);
    const int profile = ActiveProfile();
    if (profile < 0) return;
    const GKeyBank bank = bankB ? GKeyBank::B : GKeyBank::A;
    WithCurrentCopy([this, profile, bank](CurrentCopy& copy) {
        for (int n = 1; n <= kGKeyCount; ++n) {
            const KeyAssignment* slot = copy.Assignment(static_cast<std::size_t>(profile), *GKeySlot(n, bank));
            m_gKeyButtons[static_cast<std::size_t>(n - 1)]->SetSelected(slot != nullptr &&
                                                                        slot->type != AssignmentType::Default);
            SetKeyTooltip(m_gKeyButtons[static_cast<std::size_t>(n - 1)], GKeyButtonCaption(n), slot, copy);
        }
    });
    if (m_colourKeysMode) RepaintColourMarks();
}

void MainWindow::RepaintColourMarks()
{
    if (m_colourKeysMode) TakeLatePictures();
    const int profile = ActiveProfile();
    const GKeyBank bank = BankB() ? GKeyBank::B : GKeyBank::A;
    const auto paint = [this](ImageButton* button, bool marked) {
        button->SetCheckImages(m_colour0, m_colour1, m_colourKeysMode, m_colourKeysMode && marked);
        // The macro keys that never react (G6 to G9) show their disable
        // picture in every mode: in this mode that is their mark's look, as
        // for every other key, not a plain key standing out of the dimmed picture.
        if (!button->isEnabled() &&
            std::find(m_gKeyButtons.begin(), m_gKeyButtons.end(), button) != m_gKeyButtons.end()) {
            const QImage& disable = !m_colourKeysMode ? m_normal : marked ? m_colour1 : m_colour0;
            button->ReplaceImages(m_normal, m_over, m_down, disable, m_disable);
        }
    };
    if (profile < 0 || m_link.store == nullptr) {
        for (ImageButton* button : m_keyButtons) paint(button, false);
        for (ImageButton* button : m_gKeyButtons) paint(button, false);
        return;
    }
    WithCurrentCopy([this, profile, bank, paint](CurrentCopy& copy) {
        const auto marked = [&](std::size_t slot) {
            const KeyAssignment* assignment = copy.Assignment(static_cast<std::size_t>(profile), slot);
            return assignment != nullptr && assignment->mark != 0;
        };
        for (std::size_t i = 0; i < kOrdinaryKeyCount; ++i) paint(m_keyButtons[i], marked(ColourMarkSlotOfButton(i)));
        for (int n = 1; n <= kGKeyCount; ++n)
            paint(m_gKeyButtons[static_cast<std::size_t>(n - 1)], marked(*ColourMarkSlotOfGKey(n, bank)));
    });
}

bool MainWindow::WaitForWorker(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_worker.Pending() > 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    QCoreApplication::processEvents();
    return true;
}

} // namespace kestrune

#include "app/MainWindow.h"

#include "app/AboutDialog.h"
#include "app/ApplyProgress.h"
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
}

Reporter& MainWindow::GetReporter()
{
    return *m_reporter;
}

void MainWindow::SetKeyboard(KeyboardController& controller)
{
    m_link =
        KeyboardLink{&controller,          &controller.Store(),   &controller.GetTransfer(), &controller.GetLighting(),
                     &controller.Events(), &controller.Protocol()};
    CreateLightingPanel();
    PlugKeyDialog(*m_link.store);
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

        m_progress = new ApplyProgress(*this);
        m_controlsMade = true;
    }
    m_skinLink = ReadSkinScreen(SkinIniPath()).link;
    PlaceControls();
    PlaceKeyboardPicture();
    CreateLightingPanel();
    SetUnappliedChanges(UnappliedChanges());
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
    PlaceControl(m_progress->Picture(), SkinIniPath(), kPlacementSection, "CONTROL_JDTStatic");

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
    if (m_link.controller != nullptr) m_link.controller->FrontEndReady();
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
    if (m_link.controller != nullptr) m_link.controller->StopWorker();
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

} // namespace kestrune

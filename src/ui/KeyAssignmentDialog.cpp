#include "ui/KeyAssignmentDialog.h"

#include "config/Folders.h"
#include "config/KeyButtonText.h"
#include "config/LanguageTable.h"
#include "config/RecordDelayOption.h"
#include "keymodel/NativeKeys.h"
#include "macro/MacroArea.h"
#include "ui/ColourLabel.h"
#include "ui/UserDialogs.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QProcess>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QTreeWidget>

#include <algorithm>
#include <mutex>
#include <string>

namespace kestrune {

using namespace keydlg;

namespace {

constexpr std::string_view kSection = kPlacementSection;
constexpr std::uint32_t kStaticTextColour = 0xE4E4E4;
constexpr int kActionColumnWidths[3] = {50, 50, 76};
constexpr const char16_t* kPressText = u"\u2193";
constexpr const char16_t* kReleaseText = u"  \u2191";
const QColor kLoadedCellColour(0x80, 0x80, 0x80); // the grey of loaded and recorded key and direction cells

// A text of the language table, or one the dialog reads from the language
// file itself (its captions and hints), with the built-in text when the file
// has none.
QString Text(std::string_view key)
{
    if (const auto text = TheLanguageTable().Find(key)) return QString::fromStdU16String(*text);
    return QString::fromStdU16String(ReadLanguageTextOrBuiltIn(LanguageFilePath(), key));
}

QString Q(const std::u16string& text)
{
    return QString::fromStdU16String(text);
}

QString Formatted(std::string_view key, int number)
{
    const std::string args[] = {std::to_string(number)};
    return Q(FormatLanguageText(TheLanguageTable().Text(key), args));
}

// Scales a point size by the screen's vertical dots per inch over 72, as
// the dialog's boxes size their fonts.
QFont BoxFont(const char* face, int points, const QWidget& widget)
{
    QFont font(QString::fromLatin1(face));
    const double dpi = widget.logicalDpiY() > 0 ? widget.logicalDpiY() : 96.0;
    font.setPixelSize(std::max(1, static_cast<int>(points * dpi / 72.0 + 0.5)));
    return font;
}

// In-place editors of the action list's cells.
class ActionCellDelegate : public QStyledItemDelegate {
public:
    explicit ActionCellDelegate(KeyAssignmentDialog& dialog) : QStyledItemDelegate(&dialog), m_dialog(dialog) {}

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        const int row = index.row();
        switch (index.column()) {
        case 0: {
            auto* box = new QComboBox(parent);
            box->setObjectName(QStringLiteral("ACTION_KEY_EDITOR"));
            for (std::uint16_t code = 0; code < kListCodeCount; ++code) box->addItem(Q(ListCodeName(code)));
            const std::uint16_t current = ListCodeFromKey(m_dialog.Actions().Rows()[row].key);
            box->setCurrentIndex(current < kListCodeCount ? current : -1);
            QObject::connect(box, &QComboBox::activated, box, [this, box, row](int line) {
                m_dialog.EditActionKey(row, line);
                Q_EMIT const_cast<ActionCellDelegate*>(this)->closeEditor(box);
            });
            return box;
        }
        case 1: {
            auto* box = new QComboBox(parent);
            box->setObjectName(QStringLiteral("ACTION_DIRECTION_EDITOR"));
            box->addItem(QString::fromUtf16(kPressText));
            box->addItem(QString::fromUtf16(kReleaseText));
            box->setCurrentIndex(m_dialog.Actions().Rows()[row].direction == kMacroRelease ? 1 : 0);
            QObject::connect(box, &QComboBox::activated, box, [this, box, row](int line) {
                m_dialog.EditActionDirection(row, line);
                Q_EMIT const_cast<ActionCellDelegate*>(this)->closeEditor(box);
            });
            return box;
        }
        default: {
            if (m_dialog.Recording()) m_dialog.ToggleRecording();
            auto* edit = new QLineEdit(parent);
            edit->setObjectName(QStringLiteral("ACTION_DELAY_EDITOR"));
            edit->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
            return edit;
        }
        }
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override
    {
        if (auto* edit = qobject_cast<QLineEdit*>(editor)) edit->setText(index.data().toString());
    }

    void setModelData(QWidget* editor, QAbstractItemModel*, const QModelIndex& index) const override
    {
        // The two lists commit when a line is chosen; only the delay commits here.
        if (auto* edit = qobject_cast<QLineEdit*>(editor)) m_dialog.EditActionDelay(index.row(), edit->text());
    }

private:
    KeyAssignmentDialog& m_dialog;
};

} // namespace

QStringList OnScreenKeyboardPrograms()
{
    return {QStringLiteral("onboard"), QStringLiteral("florence"), QStringLiteral("matchbox-keyboard"),
            QStringLiteral("xvkbd"), QStringLiteral("kvkbd")};
}

QPoint PlaceBesideButton(const QRect& button, const QSize& dialog, const QRect& screen)
{
    const int left = button.left();
    const int top = button.top();
    const int right = button.left() + button.width();
    const int bottom = button.top() + button.height();
    const bool fitsRight = screen.left() + screen.width() - right >= dialog.width();
    const bool fitsBelow = screen.top() + screen.height() - bottom >= dialog.height();
    const bool fitsAbove = top - screen.top() >= dialog.height();
    const bool fitsLeft = left - screen.left() >= dialog.width();
    if (fitsRight && fitsBelow) return {right, bottom};
    if (fitsRight && fitsAbove) return {right, top - dialog.height()};
    if (fitsLeft) {
        if (fitsBelow) return {left - dialog.width(), bottom};
        if (fitsAbove) return {left - dialog.width(), top - dialog.height()};
    }
    return {right, bottom};
}

KeyAssignmentDialog::KeyAssignmentDialog(ConfigStore& store, UserSettings& settings, KeyDialogHost host,
                                         QWidget* parent)
    : SkinnedDialog(parent, ProgramFolder() / std::filesystem::path(kCompositeSkin), kestrune::SkinFolder()),
      m_store(store), m_settings(settings), m_host(std::move(host))
{
    setObjectName(QStringLiteral("KeyAssignmentDialog"));
    setModal(true);
    m_ask = [this](const QString& text, bool question) {
        if (!question) {
            ShowInformation(this, text);
            return true;
        }
        return AskYesNo(this, text);
    };

    m_mask = MakeButton(kIdMask, "CONTROL_MASK");
    m_mask->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_title = MakeButton(kIdTitle, "CONTROL_TITLE");
    m_osk = MakeButton(kIdOsk, "CONTROL_OSK");
    m_tabKey = MakeButton(kIdTabKey, "CONTROL_KEY");
    m_tabMacro = MakeButton(kIdTabMacro, "CONTROL_MACRO");
    m_tabMedia = MakeButton(kIdTabMedia, "CONTROL_MEDIA");
    m_tabFunction = MakeButton(kIdTabFunction, "CONTROL_FUNCTION");
    m_clear = MakeButton(kIdClear, "CONTROL_CLEAR");
    m_ok = MakeButton(kIdOk, "CONTROL_OK");
    m_cancel = MakeButton(kIdCancel, "CONTROL_CANCEL");
    m_apply = MakeButton(kIdApply, "CONTROL_APPLY");
    m_macroAdd = MakeButton(kIdMacroAdd, "FUNC_MACRO_ADD");
    m_macroDelete = MakeButton(kIdMacroDelete, "FUNC_MACRO_DELETE");
    m_record = MakeButton(kIdRecord, "FUNC_MACRO_RECORD");
    m_actionDelete = MakeButton(kIdActionDelete, "FUNC_MACRO_DELETE2");
    m_actionClear = MakeButton(kIdActionClear, "FUNC_MACRO_CLEAR");
    m_actionTop = MakeButton(kIdActionTop, "FUNC_MACRO_UP_TOP");
    m_actionUp = MakeButton(kIdActionUp, "FUNC_MACRO_UP");
    m_actionDown = MakeButton(kIdActionDown, "FUNC_MACRO_DOWN");
    m_actionBottom = MakeButton(kIdActionBottom, "FUNC_MACRO_DOWN_BOTTOM");

    auto makeStatic = [this](const char* name) {
        auto* label = new ColourLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->SetTextColour(QColor::fromRgb(kStaticTextColour));
        label->setWordWrap(true);
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        return label;
    };
    m_generalHint = makeStatic("KEY_SETTING");
    m_keyHint = makeStatic("TISHI_SINGLE_STATIC");
    m_mediaHint = makeStatic("MEDIA_SETTING_TISHI");
    m_functionHint = makeStatic("FUNCTION_KEY_SETTING_TISHI");
    m_nameLabel = makeStatic("MARCO_NAME_SETTING");
    m_recordDelayLabel = makeStatic("FUNC_MACRO_RECORD_DELAY2");
    m_cyclesLabel = makeStatic("FUNC_MACRO_CYCLES_PROMPT");

    m_keyInput = new QLineEdit(this);
    m_keyInput->setObjectName(QStringLiteral("FUNC_KEY_INPUT"));
    m_keyInput->setReadOnly(true);
    m_keyInput->setAlignment(Qt::AlignCenter);
    m_keyInput->setFocusPolicy(Qt::NoFocus);
    m_mediaSelect = new QComboBox(this);
    m_mediaSelect->setObjectName(QStringLiteral("FUNC_MEDIA_SELECT"));
    m_functionSelect = new QComboBox(this);
    m_functionSelect->setObjectName(QStringLiteral("FUNC_FUNCTION_SELECT"));
    connect(m_mediaSelect, &QComboBox::activated, this, [this] { EnableApply(true); });
    connect(m_functionSelect, &QComboBox::activated, this, [this] { EnableApply(true); });

    m_macroName = new QComboBox(this);
    m_macroName->setObjectName(QStringLiteral("FUNC_MACRO_LIST"));
    m_macroName->setEditable(true);
    m_macroName->setInsertPolicy(QComboBox::NoInsert);
    connect(m_macroName, &QComboBox::currentIndexChanged, this, &KeyAssignmentDialog::OnNameSelected);
    connect(m_macroName->lineEdit(), &QLineEdit::textEdited, this, &KeyAssignmentDialog::OnNameTyped);

    m_cycles = new QLineEdit(this);
    m_cycles->setObjectName(QStringLiteral("FUNC_MACRO_CYCLES"));
    connect(m_cycles, &QLineEdit::textEdited, this, &KeyAssignmentDialog::OnCyclesTyped);

    for (QWidget* box :
         std::initializer_list<QWidget*>{m_keyInput, m_mediaSelect, m_functionSelect, m_macroName, m_cycles})
        box->setStyleSheet(SkinnedBoxStyle());

    m_recordDelayBox = new QCheckBox(this);
    m_recordDelayBox->setObjectName(QStringLiteral("FUNC_MACRO_RECORD_DELAY"));
    connect(m_recordDelayBox, &QCheckBox::clicked, this, [this] { OnRecordDelayClicked(); });

    m_actionView = new QTreeWidget(this);
    m_actionView->setObjectName(QStringLiteral("FUNC_MACRO_LIST2"));
    m_actionView->setColumnCount(3);
    m_actionView->setRootIsDecorated(false);
    m_actionView->setUniformRowHeights(true);
    m_actionView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_actionView->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked);
    m_actionView->setItemDelegate(new ActionCellDelegate(*this));
    m_actionView->setStyleSheet(SkinnedListStyle());
    for (int c = 0; c < 3; ++c) m_actionView->setColumnWidth(c, kActionColumnWidths[c]);
    connect(m_actionView, &QTreeWidget::itemSelectionChanged, this, [this] {
        const auto items = m_actionView->selectedItems();
        m_actions.Select(items.isEmpty() ? -1 : m_actionView->indexOfTopLevelItem(items.front()));
    });

    connect(m_tabKey, &QAbstractButton::clicked, this, [this] { OnTab(AssignmentType::RemapKey); });
    connect(m_tabMacro, &QAbstractButton::clicked, this, [this] { OnTab(AssignmentType::PlayMacro); });
    connect(m_tabMedia, &QAbstractButton::clicked, this, [this] { OnTab(AssignmentType::Media); });
    connect(m_tabFunction, &QAbstractButton::clicked, this, [this] { OnTab(AssignmentType::FunctionKey); });
    connect(m_clear, &QAbstractButton::clicked, this, [this] { OnClear(); });
    connect(m_ok, &QAbstractButton::clicked, this, [this] { OnOK(); });
    connect(m_cancel, &QAbstractButton::clicked, this, [this] { OnCancel(); });
    connect(m_apply, &QAbstractButton::clicked, this, [this] { OnApply(); });
    connect(m_osk, &QAbstractButton::clicked, this, [this] { OnOnScreenKeyboard(); });
    connect(m_macroAdd, &QAbstractButton::clicked, this, [this] { OnMacroAdd(); });
    connect(m_macroDelete, &QAbstractButton::clicked, this, [this] { OnMacroDelete(); });
    connect(m_record, &QAbstractButton::clicked, this, [this] { ToggleRecording(); });
    connect(m_actionDelete, &QAbstractButton::clicked, this, [this] { OnActionDelete(); });
    connect(m_actionClear, &QAbstractButton::clicked, this, [this] { OnActionClear(); });
    connect(m_actionTop, &QAbstractButton::clicked, this, [this] { OnActionMove(RowMove::Top); });
    connect(m_actionUp, &QAbstractButton::clicked, this, [this] { OnActionMove(RowMove::Up); });
    connect(m_actionDown, &QAbstractButton::clicked, this, [this] { OnActionMove(RowMove::Down); });
    connect(m_actionBottom, &QAbstractButton::clicked, this, [this] { OnActionMove(RowMove::Bottom); });
    // Recording starts at the click: its time comes from the same clock as the key events'.
    m_record->installEventFilter(this);
}

KeyAssignmentDialog::~KeyAssignmentDialog()
{
    SetHook(Hook::None);
}

ImageButton* KeyAssignmentDialog::MakeButton(int id, const char* skinKey)
{
    auto* button = new ImageButton(this);
    button->setObjectName(QString::fromLatin1(skinKey));
    button->setProperty("controlId", id);
    button->setFocusPolicy(Qt::NoFocus);
    return button;
}

std::size_t KeyAssignmentDialog::Profile() const
{
    const int profile = m_host.activeProfile ? m_host.activeProfile() : 0;
    return profile >= 0 && profile < 3 ? static_cast<std::size_t>(profile) : 0;
}

int KeyAssignmentDialog::OpenKeyDialog(int buttonId)
{
    if (!Open(buttonId)) return -1;
    return exec();
}

bool KeyAssignmentDialog::Open(int buttonId)
{
    if (m_openCount > 0) return false;
    std::optional<std::size_t> slot;
    const bool bankB = m_host.bankB && m_host.bankB();
    for (int j = 0; j < kGKeyCount; ++j)
        if (kGKeyButtonIds[static_cast<std::size_t>(j)] == buttonId)
            slot = GKeySlot(j + 1, bankB ? GKeyBank::B : GKeyBank::A);
    if (!slot && m_host.keyOfButton) {
        if (const auto key = m_host.keyOfButton(buttonId)) slot = SlotOfKey(*key);
    }
    if (!slot) return false;
    m_slot = *slot;
    m_buttonId = buttonId;
    m_macroOnly = buttonId == kMacroOnlyButtonId;
    if (m_host.showButtonPressed) m_host.showButtonPressed(buttonId, true);
    open();
    return true;
}

void KeyAssignmentDialog::CloseIfOpen()
{
    if (m_openCount > 0) OnCancel();
}

void KeyAssignmentDialog::LoadPictures()
{
    auto load = [this](const StatePictureFiles& files) {
        return PictureSet{LoadStateImage(files.normal, *this), LoadStateImage(files.over, *this),
                          LoadStateImage(files.down, *this), LoadStateImage(files.disable, *this)};
    };
    m_keySet = load(kKeyPictures);
    m_macroSet = load(kMacroPictures);
    m_macro2Set = load(kMacro2Pictures);
    m_mediaSet = load(kMediaPictures);
    m_functionSet = load(kFunctionPictures);
    m_picturesLoaded = true;
}

void KeyAssignmentDialog::PlaceControls()
{
    const auto& ini = SkinIniPath();
    auto place = [&](ImageButton* button, const PictureSet& set) {
        PlaceImageButton(*button, ini, kSection, button->objectName().toStdString(), set.normal, set.over, set.down,
                         set.disable, set.down);
    };
    const PictureSet& chrome = m_macroOnly ? m_macro2Set : m_keySet;
    for (ImageButton* b : {m_tabKey, m_tabMedia, m_tabFunction, m_title, m_clear}) place(b, chrome);
    for (ImageButton* b : {m_tabMacro, m_ok, m_cancel, m_apply, m_osk}) place(b, m_keySet);
    for (ImageButton* b : {m_macroAdd, m_macroDelete, m_record, m_actionDelete, m_actionClear, m_actionTop, m_actionUp,
                           m_actionDown, m_actionBottom})
        place(b, m_macroSet);
    place(m_mask, m_keySet);
    for (QWidget* w : std::initializer_list<QWidget*>{
             m_keyInput, m_mediaSelect, m_functionSelect, m_macroName, m_cycles, m_recordDelayBox, m_actionView,
             m_keyHint, m_mediaHint, m_functionHint, m_generalHint, m_nameLabel, m_recordDelayLabel, m_cyclesLabel})
        PlaceControl(*w, ini, kSection, w->objectName().toStdString());
    // The picture buttons lie under the boxes they frame.
    m_mask->lower();
    for (ImageButton* b : {m_tabKey, m_tabMacro, m_tabMedia, m_tabFunction})
        b->SetCheckImages(b == m_tabMacro ? m_keySet.normal : chrome.normal,
                          b == m_tabMacro ? m_keySet.down : chrome.down, true, false);
    if (m_macroOnly) {
        // Drawn disabled by the macro2 pictures, whatever state they are in.
        for (ImageButton* b : {m_tabKey, m_tabMedia, m_tabFunction})
            b->SetCheckImages(m_macro2Set.disable, m_macro2Set.disable, true, false);
    }
    for (ImageButton* b : {m_ok, m_cancel, m_apply, m_tabKey, m_tabMacro, m_tabMedia, m_tabFunction, m_actionDelete,
                           m_actionClear, m_actionTop, m_actionUp, m_actionDown, m_actionBottom})
        ApplyCaptionStyle(*b, kTextButtonCaption);
    ApplyCaptionStyle(*m_record, kRecordButtonCaption);
}

void KeyAssignmentDialog::SetTexts()
{
    // Named after what opened it: a key button, or the main window's macro button.
    setWindowTitle(Text(m_macroOnly ? "PROFILE_MACRO" : "KEY_PROMPT"));
    m_tabKey->setText(m_macroOnly ? QString() : Text("SINGLE_KEY"));
    m_tabMacro->setText(Text("MACRO_SETTING"));
    m_tabMedia->setText(m_macroOnly ? QString() : Text("MULTI_MEDIA"));
    m_tabFunction->setText(m_macroOnly ? QString() : Text("FUNCTION_KEY"));
    m_ok->setText(Text("MACRO_OK"));
    m_cancel->setText(Text("MACRO_CANCLE"));
    // The main window's Apply caption: the language file has no text of the dialog's own for it.
    m_apply->setText(Text("PROFILE_APPLY").trimmed().isEmpty() ? QStringLiteral("Apply") : Text("PROFILE_APPLY"));
    m_keyHint->setText(Text("SINGLE_STATIC"));
    m_mediaHint->setText(Text("MEDIA_EDIT_TISHI"));
    m_functionHint->setText(Text("FUNCTION_TISHI"));
    m_generalHint->setText(Text(m_macroOnly ? "MACRO_EDIT_TISHI" : "KEY_SETTING_TISHI"));
    m_clear->SetTooltipText(Text("COMPOSITE_PROMPT_CLEAR"), true);
    m_osk->SetTooltipText(Text("COMPOSITE_PROMPT_OSK"), true);
    m_nameLabel->setText(Text("MACRO_NAME_SETTING"));
    m_recordDelayLabel->setText(Text("RECORD_DELAY"));
    m_cyclesLabel->setText(Text("MACRO_CYCLES"));
    m_record->setText(Text("A_RECORD"));
    m_actionDelete->setText(Text("A_DELETE"));
    m_actionClear->setText(Text("A_CLEAR"));
    m_actionTop->setText(Text("A_TOP"));
    m_actionUp->setText(Text("A_UP"));
    m_actionDown->setText(Text("A_DOWN"));
    m_actionBottom->setText(Text("A_BOTTOM"));
    m_actionView->setHeaderLabels({Text("MACRO_KEYS_TISHI"), Text("MACRO_ACTION_TISHI"), Text("MACRO_DELAY_MS")});

    QFont hintFont(QStringLiteral("Tahoma"));
    hintFont.setPointSizeF(10.8);
    for (ColourLabel* s :
         {m_keyHint, m_mediaHint, m_functionHint, m_generalHint, m_nameLabel, m_recordDelayLabel, m_cyclesLabel})
        s->setFont(hintFont);
    m_keyInput->setFont(BoxFont("Verdana", 18, *this));
    for (QWidget* w : std::initializer_list<QWidget*>{m_mediaSelect, m_functionSelect, m_macroName})
        w->setFont(BoxFont("Verdana", 12, *this));
}

bool KeyAssignmentDialog::OnInitDialog()
{
    if (!SkinnedDialog::OnInitDialog()) return false;
    // 1. Open count; the action list starts empty.
    ++m_openCount;
    m_actions.Clear();
    // 2, 3. Pictures once, then every placement; the record-delay option.
    if (!m_picturesLoaded) LoadPictures();
    PlaceControls();
    m_recordDelay = LoadRecordDelayOption(m_settings, TheLanguageTable());
    m_recordDelayBox->setChecked(m_recordDelay == 1);
    // 4. The media and function lists; cycles 1.
    m_mediaSelect->clear();
    for (std::size_t r = 0; r < kMediaCount; ++r) m_mediaSelect->addItem(Q(MediaText(r)));
    m_functionSelect->clear();
    for (std::size_t f = 0; f < kFunctionKeyCount; ++f)
        m_functionSelect->addItem(Q(FunctionKeyText(TheLanguageTable(), f)));
    m_mediaSelect->setCurrentIndex(0);
    m_functionSelect->setCurrentIndex(0);
    m_cycles->setText(QStringLiteral("1"));
    // 5. No macro current yet.
    m_recorder.Stop();
    m_currentMacro = -1;
    EnableApply(false);
    m_firstMacroPane = true;
    // 5, 6. The macro list and what the slot holds now, from the copy; while
    // a download holds it, the dialog is up and fills in when it is free.
    const unsigned opening = ++m_opening;
    m_loading = true;
    auto read = std::make_shared<OpeningRead>();
    WithCurrentCopy(
        [read, profile = Profile(), slot = m_slot](CurrentCopy& copy) {
            if (copy.HasBlock()) read->macros = copy.Macros();
            const KeyAssignment* stored = copy.Assignment(profile, slot);
            read->stored = stored != nullptr ? *stored : KeyAssignment{};
        },
        [this, opening, read] {
            if (opening == m_opening && IsOpen()) ShowOpeningRead(*read);
        });
    // 9, 10.
    PlaceBeside(m_buttonId);
    SetTexts();
    return true;
}

void KeyAssignmentDialog::ShowOpeningRead(const OpeningRead& read)
{
    m_loading = false;
    // Whatever was typed into the editor before the copy came is not of it.
    if (!m_macros.empty()) ClearMacroList();
    LoadMacroList(true, read.macros);
    EnableApply(false);
    // 6.
    m_paneType = read.stored.type;
    m_storedValue = read.stored.value;
    m_storedAux = read.stored.aux;
    // 7. Macros only.
    const bool others = !m_macroOnly;
    if (m_macroOnly) m_paneType = AssignmentType::PlayMacro;
    for (ImageButton* b : {m_tabKey, m_tabMedia, m_tabFunction, m_clear}) b->setEnabled(others);
    // 8. The pane of the slot's type.
    m_capturedKey = kNoKey;
    ShowPane(true);
    EnableApply(false);
}

void KeyAssignmentDialog::WithCurrentCopy(std::function<void(CurrentCopy&)> use, std::function<void()> then)
{
    // Work that found the copy busy runs first, so the copy sees every
    // change in the order the user made it.
    std::recursive_mutex& lock = m_store.CurrentLock();
    if (m_storeWaits == 0 && (!m_host.runDevice || lock.try_lock())) {
        {
            // Without a device thread to wait on, this thread waits.
            std::unique_lock held = m_host.runDevice ? std::unique_lock(lock, std::adopt_lock) : std::unique_lock(lock);
            use(m_store.Current());
        }
        if (then) then();
        return;
    }
    ++m_storeWaits;
    QPointer<KeyAssignmentDialog> self(this);
    m_host.runDevice(
        [store = &m_store, use = std::move(use)] {
            std::lock_guard held(store->CurrentLock());
            use(store->Current());
        },
        [self, then = std::move(then)] {
            if (self == nullptr) return;
            --self->m_storeWaits;
            if (then) then();
        });
}

void KeyAssignmentDialog::PlaceBeside(int buttonId)
{
    if (!m_host.buttonRect) return;
    const QRect button = m_host.buttonRect(buttonId);
    if (button.isNull()) return;
    const QScreen* screen = QGuiApplication::screenAt(button.center());
    if (screen == nullptr) screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) return;
    move(PlaceBesideButton(button, size(), screen->availableGeometry()));
}

void KeyAssignmentDialog::ShowPane(bool opening)
{
    enum class Pane { Key, Macro, Media, Function };
    Pane pane = Pane::Key;
    if (m_paneType == AssignmentType::PlayMacro) pane = Pane::Macro;
    if (m_paneType == AssignmentType::Media) pane = Pane::Media;
    if (m_paneType == AssignmentType::FunctionKey) pane = Pane::Function;

    switch (pane) {
    case Pane::Macro: {
        SetHook(m_recorder.IsRecording() ? Hook::Record : Hook::None);
        int select = -2; // leave as it is
        if (opening) {
            select = 0;
            for (std::size_t i = 0; i < m_macros.size(); ++i)
                if (m_storedValue != 0 && m_macros[i]->id == m_storedValue) select = static_cast<int>(i);
        } else if (m_firstMacroPane) {
            select = m_storedValue == 0 ? 0 : -1;
        }
        m_firstMacroPane = false;
        if (select != -2) {
            if (m_macros.empty()) select = -1;
            m_suppressSelection = true;
            m_macroName->setCurrentIndex(select);
            m_suppressSelection = false;
            m_currentMacro = select;
            LoadActions(false);
        }
        break;
    }
    case Pane::Media:
    case Pane::Function: {
        SetHook(Hook::None);
        StopRecordingIfOn();
        if (opening) {
            QComboBox* list = pane == Pane::Media ? m_mediaSelect : m_functionSelect;
            // A value outside the list (only a profile file makes one) shows line 0.
            list->setCurrentIndex(
                m_storedValue < static_cast<std::uint32_t>(list->count()) ? static_cast<int>(m_storedValue) : 0);
        }
        break;
    }
    case Pane::Key:
        StopRecordingIfOn();
        SetHook(Hook::Capture);
        if (opening) {
            // Only a key's own number is a key: the value of a program or
            // text key is an offset into the file's texts.
            const bool keyValue = m_paneType == AssignmentType::RemapKey || m_paneType == AssignmentType::Default;
            m_capturedKey =
                keyValue && IsValidKeyIndex(static_cast<KeyIndex>(m_storedValue)) && m_storedValue <= kMaxKeyIndex
                    ? static_cast<KeyIndex>(m_storedValue)
                    : kNoKey;
            m_keyInput->clear();
            if (m_paneType == AssignmentType::RemapKey && m_capturedKey != kNoKey)
                m_keyInput->setText(Q(KeyName(m_capturedKey)));
        }
        break;
    }

    const bool macro = pane == Pane::Macro;
    for (QWidget* w :
         std::initializer_list<QWidget*>{m_macroName, m_nameLabel, m_macroAdd, m_macroDelete, m_actionView, m_record,
                                         m_actionDelete, m_actionClear, m_actionTop, m_actionUp, m_actionDown,
                                         m_actionBottom, m_recordDelayBox, m_recordDelayLabel, m_cycles, m_cyclesLabel})
        w->setVisible(macro);
    m_keyInput->setVisible(pane == Pane::Key);
    m_keyHint->setVisible(pane == Pane::Key && !m_macroOnly);
    m_mediaSelect->setVisible(pane == Pane::Media);
    m_mediaHint->setVisible(pane == Pane::Media && !m_macroOnly);
    m_functionSelect->setVisible(pane == Pane::Function);
    m_functionHint->setVisible(pane == Pane::Function && !m_macroOnly);

    const PictureSet& set = macro                    ? m_macroSet
                            : pane == Pane::Media    ? m_mediaSet
                            : pane == Pane::Function ? m_functionSet
                                                     : m_keySet;
    m_mask->ReplaceImages(set.normal, set.normal, set.normal, set.normal, set.normal);
    if (!m_macroOnly) {
        m_tabKey->SetCheckImages(m_keySet.normal, m_keySet.down, true, pane == Pane::Key);
        m_tabMedia->SetCheckImages(m_keySet.normal, m_keySet.down, true, pane == Pane::Media);
        m_tabFunction->SetCheckImages(m_keySet.normal, m_keySet.down, true, pane == Pane::Function);
    }
    m_tabMacro->SetCheckImages(m_keySet.normal, m_keySet.down, true, macro);
}

void KeyAssignmentDialog::OnTab(AssignmentType pane)
{
    if (m_macroOnly && pane != AssignmentType::PlayMacro) return;
    bool changed = false;
    if (pane == AssignmentType::RemapKey) {
        if (m_paneType != AssignmentType::Default && m_paneType != AssignmentType::RemapKey) {
            m_paneType = AssignmentType::RemapKey;
            changed = true;
        }
    } else if (m_paneType != pane) {
        m_paneType = pane;
        changed = true;
    }
    if (!changed) return;
    ShowPane(false);
    EnableApply(true);
}

void KeyAssignmentDialog::OnClear()
{
    if (m_macroOnly) return;
    OnTab(AssignmentType::RemapKey);
    if (m_paneType == AssignmentType::RemapKey) {
        m_keyInput->clear();
        m_paneType = AssignmentType::Default;
    }
    EnableApply(true);
}

void KeyAssignmentDialog::SetHook(Hook hook)
{
    if (hook == m_hook) return;
    if (m_hook != Hook::None) {
        qApp->removeEventFilter(this);
        m_grab.Release();
    }
    m_hook = hook;
    if (hook == Hook::None) return;
    qApp->installEventFilter(this);
    // Exactly the keys the desktop would otherwise act on: the Windows keys,
    // and while a single key is captured the App key too. Media keys stay
    // with the desktop.
    std::vector<std::uint32_t> codes;
    std::vector<KeyIndex> keys{kKeyWin, kKeyRightWin};
    if (hook == Hook::Capture) keys.push_back(0x15D);
    for (KeyIndex key : keys)
        if (const auto code = NativeScanCodeOfKey(key)) codes.push_back(*code);
    m_grab.Grab(codes);
}

bool KeyAssignmentDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_record) {
        if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::KeyRelease)
            m_recordClickTime = static_cast<std::uint32_t>(static_cast<QInputEvent*>(event)->timestamp());
        return false;
    }
    if (m_hook == Hook::None) return false;
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
    return HandleKey(static_cast<QKeyEvent*>(event));
}

bool KeyAssignmentDialog::HandleKey(QKeyEvent* event)
{
    KeyEventInput input;
    input.key = KeyFromNativeScanCode(event->nativeScanCode());
    input.release = event->type() == QEvent::KeyRelease;
    input.autoRepeat = event->isAutoRepeat();
    input.timestampMs = static_cast<std::uint32_t>(event->timestamp());

    if (m_hook == Hook::Capture) {
        const CaptureOutcome outcome = CaptureKey(input);
        if (outcome.captured != kNoKey) {
            m_capturedKey = outcome.captured;
            m_keyInput->setText(Q(KeyName(outcome.captured)));
            m_paneType = AssignmentType::RemapKey;
            EnableApply(true);
        }
        return outcome.verdict == KeyVerdict::Swallow;
    }
    const RecordOutcome outcome = m_recorder.OnKey(input);
    for (const MacroAction& action : outcome.actions) AddRecordedAction(action);
    return outcome.verdict == KeyVerdict::Swallow;
}

void KeyAssignmentDialog::keyPressEvent(QKeyEvent* event)
{
    // While a recording runs, F1 is one of the keys being recorded, not a call for help.
    if (!TakeDialogKey(event, !m_recorder.IsRecording())) SkinnedDialog::keyPressEvent(event);
}

void KeyAssignmentDialog::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    SkinnedDialog::keyReleaseEvent(event);
}

void KeyAssignmentDialog::closeEvent(QCloseEvent* event)
{
    if (m_openCount > 0) {
        event->ignore();
        OnCancel();
        return;
    }
    SkinnedDialog::closeEvent(event);
}

void KeyAssignmentDialog::StopRecordingIfOn()
{
    if (m_recorder.IsRecording()) ToggleRecording();
}

void KeyAssignmentDialog::EnableApply(bool on)
{
    m_apply->setEnabled(on);
}

void KeyAssignmentDialog::ToggleRecording()
{
    if (!m_recorder.IsRecording()) {
        if (m_currentMacro < 0) return;
        m_recorder.Start(m_recordClickTime);
        m_record->setText(Text("MACRO_ACTION_STOP_RECORD"));
        m_record->SetSelected(true);
        for (QWidget* w : std::initializer_list<QWidget*>{m_macroAdd, m_macroDelete, m_macroName}) w->setEnabled(false);
        SetHook(Hook::Record);
        return;
    }
    m_recorder.Stop();
    m_record->setText(Text("MACRO_ACTION_RECORD"));
    m_record->SetSelected(false);
    for (QWidget* w : std::initializer_list<QWidget*>{m_macroAdd, m_macroDelete, m_macroName}) w->setEnabled(true);
    SetHook(m_hook == Hook::Record ? Hook::None : m_hook);
}

void KeyAssignmentDialog::OnOnScreenKeyboard()
{
    // The desktop's on-screen keyboard types into the dialog like any other
    // keyboard, so keys the user's own keyboard lacks can be captured and
    // recorded too.
    for (const QString& name : OnScreenKeyboardPrograms()) {
        const QString program = QStandardPaths::findExecutable(name);
        if (!program.isEmpty() && QProcess::startDetached(program, {})) return;
    }
    m_ask(Text("COMPOSITE_OSK_MISSING"), false);
}

void KeyAssignmentDialog::OnRecordDelayClicked()
{
    m_recordDelay = StoreRecordDelayOption(m_settings, TheLanguageTable(), m_recordDelay == 1 ? 0 : 1);
    m_recordDelayBox->setChecked(m_recordDelay == 1);
}

bool KeyAssignmentDialog::ConfirmMacroSpace()
{
    const std::size_t capacity = m_host.macroCapacity ? m_host.macroCapacity() : 0;
    if (capacity == 0) return true;
    const std::vector<MacroRecord> edited = EditedMacros();
    if (MacroAreaSizes(edited).withoutNames <= capacity) return true;
    QString text = Text("COMPOSITE_MACRO_OVER");
    if (text.trimmed().isEmpty()) text = Q(TheLanguageTable().Text("MACRO_SPACE_EXCEEDED"));
    m_ask(text, false);
    return false;
}

void KeyAssignmentDialog::OnApply()
{
    Commit();
}

bool KeyAssignmentDialog::Commit()
{
    // 1.
    StopRecordingIfOn();
    // 2. The edited macros, once they fit the keyboard; a list too big for it
    // stays in the dialog to be shortened.
    SaveActions(m_currentMacro);
    if (!ConfirmMacroSpace()) return false;
    // Before the copy has been read, the editor holds nothing of it.
    if (m_loading) return false;
    std::vector<MacroRecord> edited = EditedMacros();
    KeyChoice choice;
    choice.paneType = m_paneType;
    choice.capturedKey = m_capturedKey;
    choice.editorHasMacros = !m_macros.empty();
    choice.macroId = MacroIdAtPosition(edited, m_currentMacro);
    choice.cycles = ParseTypedCycles(m_cycles->text().toStdU16String()).cycles;
    choice.mediaLine = m_mediaSelect->currentIndex();
    choice.functionLine = m_functionSelect->currentIndex();
    auto written = std::make_shared<std::optional<KeyAssignment>>();
    const int buttonId = m_buttonId;
    const std::size_t slot = m_slot;
    // The window's looks follow once the copy holds the edits (at once,
    // unless a download holds the copy; OK closes the dialog meanwhile).
    WithCurrentCopy(
        [edited = std::move(edited), choice, profile = Profile(), slot, written](CurrentCopy& copy) mutable {
            CommitEditedMacros(copy, edited);
            // 3 to 7.
            *written = WriteKeyChoice(copy, profile, slot, choice);
        },
        [host = m_host, buttonId, slot, written] {
            // 6, 8.
            if (*written && (*written)->type != AssignmentType::Default) {
                if (host.showButtonAssigned) host.showButtonAssigned(buttonId, true);
            } else if (host.resetKeyButton) {
                host.resetKeyButton(slot);
            } else if (host.showButtonAssigned) {
                host.showButtonAssigned(buttonId, false);
            }
            if (host.refreshKeyTooltips) host.refreshKeyTooltips();
            if (host.setUnappliedChanges) host.setUnappliedChanges();
        });
    for (auto& macro : m_macros) macro->newFlag = 0;
    EnableApply(false);
    return true;
}

void KeyAssignmentDialog::OnOK()
{
    if (m_openCount == 0) return;
    if (!Commit()) return;
    Closing();
    SkinnedDialog::OnOK();
}

void KeyAssignmentDialog::OnCancel()
{
    if (m_openCount == 0) return;
    Closing();
    SkinnedDialog::OnCancel();
}

void KeyAssignmentDialog::Closing()
{
    SetHook(Hook::None);
    StopRecordingIfOn();
    SetHook(Hook::None);
    ClearMacroList();
    m_actions.Clear();
    m_actionView->clear();
    m_currentMacro = -1;
    EnableApply(false);
    m_openCount = std::max(0, m_openCount - 1);
    if (m_host.showButtonPressed) m_host.showButtonPressed(m_buttonId, false);
}

// --- The macro editor ----------------------------------------------------------

std::vector<MacroRecord> KeyAssignmentDialog::EditedMacros() const
{
    std::vector<MacroRecord> list;
    list.reserve(m_macros.size());
    for (const auto& macro : m_macros) list.push_back(*macro);
    return list;
}

std::vector<std::u16string> KeyAssignmentDialog::MacroNames() const
{
    std::vector<std::u16string> names;
    for (const auto& macro : m_macros) names.emplace_back(macro->Name());
    return names;
}

void KeyAssignmentDialog::LoadMacroList(bool opening, const std::vector<MacroRecord>& macros)
{
    if (!opening) ClearMacroList();
    m_suppressSelection = true;
    for (const MacroRecord& macro : macros) {
        auto record = std::make_unique<MacroRecord>(macro);
        record->newFlag = 0;
        m_macroName->addItem(Q(std::u16string(record->Name())));
        m_macros.push_back(std::move(record));
    }
    m_macroName->setCurrentIndex(-1);
    m_suppressSelection = false;
    LoadActions(opening);
}

void KeyAssignmentDialog::ClearMacroList()
{
    m_suppressSelection = true;
    while (m_macroName->count() > 0) m_macroName->removeItem(m_macroName->count() - 1);
    m_macroName->clearEditText();
    m_macros.clear();
    m_suppressSelection = false;
}

void KeyAssignmentDialog::LoadActions(bool opening)
{
    const int a = m_macroName->count() == 0 ? -1 : m_currentMacro;
    if (!opening) {
        m_actions.Clear();
        if (a >= 0 && static_cast<std::size_t>(a) < m_macros.size()) {
            const MacroRecord& record = *m_macros[static_cast<std::size_t>(a)];
            m_cycles->setText(QString::number(record.cycles));
            m_actions.Load(record);
        }
        RefreshActionView();
    }
    EnableActionButtons();
}

void KeyAssignmentDialog::EnableActionButtons()
{
    const bool on = m_macroName->count() > 0 && m_currentMacro >= 0;
    for (ImageButton* b :
         {m_record, m_actionDelete, m_actionClear, m_actionTop, m_actionUp, m_actionDown, m_actionBottom})
        b->setEnabled(on);
}

void KeyAssignmentDialog::SaveActions(int position)
{
    if (m_macros.empty() || position < 0 || static_cast<std::size_t>(position) >= m_macros.size()) return;
    MacroRecord& record = *m_macros[static_cast<std::size_t>(position)];
    record.cycles = ParseTypedCycles(m_cycles->text().toStdU16String()).cycles;
    m_actions.SaveInto(record);
}

QTreeWidgetItem* KeyAssignmentDialog::MakeActionItem(const MacroAction& action) const
{
    auto* item = new QTreeWidgetItem;
    item->setText(0, Q(KeyName(action.key)));
    item->setText(1, QString::fromUtf16(action.direction == kMacroRelease ? kReleaseText : kPressText));
    item->setText(2, QString::number(action.delay));
    item->setForeground(0, kLoadedCellColour);
    item->setForeground(1, kLoadedCellColour);
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    return item;
}

void KeyAssignmentDialog::ShowSelectedAction()
{
    if (m_actions.Selected() < 0) return;
    QTreeWidgetItem* selected = m_actionView->topLevelItem(m_actions.Selected());
    m_actionView->setCurrentItem(selected);
    m_actionView->scrollToItem(selected);
}

void KeyAssignmentDialog::RefreshActionView()
{
    m_actionView->blockSignals(true);
    m_actionView->clear();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(m_actions.Size()));
    for (const MacroAction& action : m_actions.Rows()) items.push_back(MakeActionItem(action));
    m_actionView->addTopLevelItems(items);
    ShowSelectedAction();
    m_actionView->blockSignals(false);
}

void KeyAssignmentDialog::AddRecordedAction(const MacroAction& action)
{
    const std::optional<int> row = m_actions.Add(action, true, m_recordDelay, true, false);
    if (!row) return;
    // One row more, and the delay of the row above it: a long recording
    // does not rebuild the whole list at every key.
    const std::span<const MacroAction> rows = m_actions.Rows();
    m_actionView->blockSignals(true);
    m_actionView->insertTopLevelItem(*row, MakeActionItem(rows[static_cast<std::size_t>(*row)]));
    if (*row > 0) {
        if (QTreeWidgetItem* above = m_actionView->topLevelItem(*row - 1))
            above->setText(2, QString::number(rows[static_cast<std::size_t>(*row - 1)].delay));
    }
    ShowSelectedAction();
    m_actionView->blockSignals(false);
    EnableApply(true);
}

void KeyAssignmentDialog::SelectAction(int row)
{
    m_actions.Select(row);
    RefreshActionView();
}

void KeyAssignmentDialog::OnNameSelected(int index)
{
    if (m_suppressSelection) return;
    SaveActions(m_currentMacro);
    m_currentMacro = index;
    LoadActions(false);
}

void KeyAssignmentDialog::OnNameTyped(const QString& text)
{
    if (!m_macros.empty()) {
        if (m_currentMacro < 0) return;
        MacroRecord& record = *m_macros[static_cast<std::size_t>(m_currentMacro)];
        record.SetName(text.toStdU16String());
        m_suppressSelection = true;
        const int cursor = m_macroName->lineEdit()->cursorPosition();
        m_macroName->setItemText(m_currentMacro, text);
        m_macroName->lineEdit()->setText(text);
        m_macroName->lineEdit()->setCursorPosition(cursor);
        m_suppressSelection = false;
    } else {
        auto record = std::make_unique<MacroRecord>(MakeMacroRecord(text.toStdU16String(), kMinMacroId));
        record->newFlag = 1;
        m_suppressSelection = true;
        m_macros.insert(m_macros.begin(), std::move(record));
        m_macroName->insertItem(0, text);
        m_macroName->setCurrentIndex(0);
        m_macroName->lineEdit()->setText(text);
        m_suppressSelection = false;
        m_currentMacro = 0;
        LoadActions(false);
    }
    EnableApply(true);
}

void KeyAssignmentDialog::OnCyclesTyped(const QString& text)
{
    const TypedCycles typed = ParseTypedCycles(text.toStdU16String());
    if (typed.corrected) m_cycles->setText(QString::number(typed.cycles));
    EnableApply(true);
}

void KeyAssignmentDialog::OnMacroAdd()
{
    if (m_loading) return; // the list of the copy is not in the editor yet
    const std::size_t n = m_macros.size();
    if (n >= kMaxMacros) {
        m_ask(Formatted("MACRO_ERR_MAX", static_cast<int>(kMaxMacros)), false);
        return;
    }
    if (n == 0) m_nameCounter = 0;
    const std::vector<std::u16string> names = MacroNames();
    const std::u16string name = NextNewMacroName(TheLanguageTable().Text("MACRO_NEW_PREFIX"), m_nameCounter, names);
    const std::vector<MacroRecord> edited = EditedMacros();
    auto record = std::make_unique<MacroRecord>(MakeMacroRecord(name, SmallestFreeMacroId(edited)));
    record->newFlag = 1;
    SaveActions(m_currentMacro);
    m_suppressSelection = true;
    m_macros.push_back(std::move(record));
    m_macroName->addItem(Q(name));
    m_macroName->setCurrentIndex(static_cast<int>(n));
    m_suppressSelection = false;
    m_currentMacro = static_cast<int>(n);
    LoadActions(false);
    EnableApply(true);
}

bool KeyAssignmentDialog::MacroDeletionAllowed(const MacroRecord& record, bool played)
{
    if (record.newFlag != 0 || !played) return true;
    return m_ask(Text("MACRO_DELETE_CONFIRM_OF_KEYS"), true);
}

void KeyAssignmentDialog::OnMacroDelete()
{
    if (m_macros.empty() || m_currentMacro < 0) return;
    const MacroRecord* record = m_macros[static_cast<std::size_t>(m_currentMacro)].get();
    if (record->newFlag != 0) {
        DeleteMacro(static_cast<std::size_t>(m_currentMacro));
        return;
    }
    auto played = std::make_shared<bool>(false);
    const unsigned opening = m_opening;
    WithCurrentCopy([played, id = record->id](CurrentCopy& copy) { *played = copy.AnyKeyPlaysMacro(id); },
                    [this, opening, record, played] {
                        if (opening != m_opening || !IsOpen()) return;
                        // The list may have changed while the copy was busy.
                        auto it = std::find_if(m_macros.begin(), m_macros.end(),
                                               [&](const auto& macro) { return macro.get() == record; });
                        if (it == m_macros.end() || !MacroDeletionAllowed(*record, *played)) return;
                        DeleteMacro(static_cast<std::size_t>(it - m_macros.begin()));
                    });
}

void KeyAssignmentDialog::DeleteMacro(std::size_t position)
{
    m_suppressSelection = true;
    m_macros.erase(m_macros.begin() + static_cast<std::ptrdiff_t>(position));
    m_macroName->removeItem(static_cast<int>(position));
    const int next = m_macros.empty() ? -1 : (position == 0 ? 0 : static_cast<int>(position) - 1);
    m_macroName->setCurrentIndex(next);
    if (next < 0) m_macroName->clearEditText();
    m_suppressSelection = false;
    m_currentMacro = next;
    LoadActions(false);
    EnableApply(true);
}

void KeyAssignmentDialog::OnActionDelete()
{
    if (!m_actions.DeleteSelected()) return;
    RefreshActionView();
    EnableApply(true);
}

void KeyAssignmentDialog::OnActionClear()
{
    if (m_actions.Size() == 0) return;
    if (!m_ask(Text("MACRO_ACTION_CLEAR_CONFIRM"), true)) return;
    m_actions.Clear();
    RefreshActionView();
    EnableApply(true);
}

void KeyAssignmentDialog::OnActionMove(RowMove move)
{
    if (!m_actions.MoveSelected(move)) return;
    RefreshActionView();
    m_actionView->setFocus();
    EnableApply(true);
}

void KeyAssignmentDialog::EditActionKey(int row, int listCode)
{
    if (listCode < 0 || listCode >= kListCodeCount) return;
    const KeyIndex key = KeyFromListCode(static_cast<std::uint16_t>(listCode));
    if (row < 0 || static_cast<std::size_t>(row) >= m_actions.Size() || m_actions.Rows()[row].key == key) return;
    m_actions.SetKey(row, key);
    if (QTreeWidgetItem* item = m_actionView->topLevelItem(row)) item->setText(0, Q(KeyName(key)));
    EnableApply(true);
}

void KeyAssignmentDialog::EditActionDirection(int row, int direction)
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_actions.Size() || direction < 0 || direction > 1) return;
    if (m_actions.Rows()[row].direction == direction) return;
    m_actions.SetDirection(row, static_cast<std::uint16_t>(direction));
    if (QTreeWidgetItem* item = m_actionView->topLevelItem(row))
        item->setText(1, QString::fromUtf16(direction == kMacroRelease ? kReleaseText : kPressText));
    EnableApply(true);
}

void KeyAssignmentDialog::EditActionDelay(int row, const QString& text)
{
    StopRecordingIfOn();
    const auto typed = ParseTypedDelay(text.toStdU16String());
    if (!typed || row < 0 || static_cast<std::size_t>(row) >= m_actions.Size()) return;
    if (typed->tooLong) m_ask(Formatted("MACRO_ACTION_ERR_DELAY_MAX", kMaxEditedDelayMs), false);
    m_actions.SetDelay(row, typed->delay);
    if (QTreeWidgetItem* item = m_actionView->topLevelItem(row)) item->setText(2, QString::number(typed->delay));
    EnableApply(true);
}

} // namespace kestrune

#include "ui/LightingPanel.h"

#include "config/LanguageTable.h"
#include "device/CommandProtocol.h"
#include "lighting/Lighting.h"
#include "lighting/LightingWriter.h"
#include "ui/ClickablePicture.h"
#include "ui/ColourLabel.h"
#include "ui/ColourRef.h"
#include "ui/PictureSlider.h"
#include "ui/SkinColourButton.h"
#include "ui/WindowMessage.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <mutex>
#include <utility>

namespace kestrune {

namespace {

// Captioned labels: skin key and caption key.
struct PanelLabel {
    std::string_view skinKey;
    std::string_view caption;
};
constexpr PanelLabel kLabels[] = {
    {"CONTROL_UsbStatic", "Usb"},     {"CONTROL_DengStatic", "Deng"},    {"CONTROL_LightStatic", "Light"},
    {"CONTROL_SpeedStatic", "Speed"}, {"CONTROL_BLFXStatic", "FX"},      {"CONTROL_FYYSStatic", "Color"},
    {"CONTROL_FYSJSStatic", "QCFY"},  {"CONTROL_FYCFStatic", "CF"},      {"CONTROL_FYdjcfStatic", "DJCF"},
    {"CONTROL_FYggcfStatc", "GGCF"},  {"CONTROL_HXysStatic", "Color"},   {"CONTROL_HXsjsStatic", "QCHX"},
    {"CONTROL_JTysStatic", "Color"},  {"CONTROL_USERysStatic", "Color"}, {"CONTROL_USERjsStatic", "JColor"},
    {"CONTROL_USERgjStatic", "Tool"}, {"CONTROL_TSysStatic", "Color"},   {"CONTROL_TSsjsStatic", "QCTS"},
    {"CONTROL_CDysStatic", "Color"},  {"CONTROL_CDsjsStatic", "QCCD"},   {"CONTROL_RUNsjsStatic", "RUNColor"},
    {"CONTROL_RUNsjs7Pic", "QCRUN"},
};
// What a screen reader calls each control of the panel: captions of the
// skin's caption section, joined with ": ", and what tells apart controls
// that share the captions (the report rate the picture shows). A skin
// without a caption gives the English word.
struct PanelName {
    std::string_view control;
    std::array<std::string_view, 2> captions;
    std::string_view which;
};
constexpr PanelName kAccessibleNames[] = {
    {"CONTROL_DengStaPic", {"Deng", ""}, ""},
    {"CONTROL_BLFXLStaPic", {"FX", "Left"}, ""},
    {"CONTROL_BLFXRStaPic", {"FX", "Right"}, ""},
    {"CONTROL_FYSJSStaPic", {"QCFY", ""}, ""},
    {"CONTROL_HXsjsStaPic", {"QCHX", ""}, ""},
    {"CONTROL_TSsjsStaPic", {"QCTS", ""}, ""},
    {"CONTROL_CDsjsStaPic", {"QCCD", ""}, ""},
    {"CONTROL_RUNysButton", {"QCRUN", ""}, ""},
    {"CONTROL_FYdjcfStaPic", {"CF", "DJCF"}, ""},
    {"CONTROL_FYggcfStaPic", {"CF", "GGCF"}, ""},
    {"CONTROL_USERgjStaPic1", {"Tool", "Color"}, ""},
    {"CONTROL_USERgjStaPic2", {"Tool", "JColor"}, ""},
    {"CONTROL_FYYSButton", {"QCFY", "Color"}, ""},
    {"CONTROL_JTysButton", {"Color", ""}, ""},
    {"CONTROL_HXysButton", {"QCHX", "Color"}, ""},
    {"CONTROL_TSysButton", {"QCTS", "Color"}, ""},
    {"CONTROL_CDysButton", {"QCCD", "Color"}, ""},
    {"CONTROL_RUNysStaticBtn", {"RUNColor", ""}, ""},
    {"CONTROL_USERysButton", {"Color", ""}, ""},
    {"CONTROL_USERjsButton", {"JColor", ""}, ""},
    {"CONTROL_XGcombox", {"Effect", ""}, ""},
    {"CONTROL_LightSlider", {"Light", ""}, ""},
    {"CONTROL_SpeedSlider", {"Speed", ""}, ""},
    {"m_edit_rgbr", {"Red", ""}, ""},
    {"m_edit_rgbg", {"Green", ""}, ""},
    {"m_edit_rgbb", {"Blue", ""}, ""},
    {"m_button_rgb1", {"Color", ""}, "1"},
    {"m_button_rgb2", {"Color", ""}, "2"},
    {"m_button_rgb3", {"Color", ""}, "3"},
    {"m_button_rgb4", {"Color", ""}, "4"},
    {"m_button_rgb5", {"Color", ""}, "5"},
    {"m_button_rgb6", {"Color", ""}, "6"},
    {"FUNC_REPORT1", {"Usb", ""}, "125 Hz"},
    {"FUNC_REPORT2", {"Usb", ""}, "250 Hz"},
    {"FUNC_REPORT3", {"Usb", ""}, "500 Hz"},
    {"FUNC_REPORT4", {"Usb", ""}, "1000 Hz"},
};
constexpr std::pair<std::string_view, std::u16string_view> kEnglishCaptions[] = {
    {"Usb", u"Report rate"},
    {"Deng", u"Key lighting"},
    {"Light", u"Brightness"},
    {"FX", u"Direction"},
    {"Speed", u"Speed"},
    {"Color", u"Colour"},
    {"JColor", u"Base"},
    {"QCFY", u"Rainbow colours"},
    {"CF", u"Trigger"},
    {"DJCF", u"Single key"},
    {"GGCF", u"Grid"},
    {"QCHX", u"Rainbow colours"},
    {"Tool", u"Tool"},
    {"QCTS", u"Rainbow colours"},
    {"QCCD", u"Rainbow colours"},
    {"QCRUN", u"Rainbow colours"},
    {"RUNColor", u"Colour"},
    {"Left", u"Left"},
    {"Right", u"Right"},
    {"Effect", u"Lighting effect"},
    {"Red", u"Red"},
    {"Green", u"Green"},
    {"Blue", u"Blue"},
};

// The effect-15 rainbow label takes this caption where a skin has no QCRUN.
constexpr std::string_view kRunRainbowLabel = "CONTROL_RUNsjs7Pic";
constexpr std::string_view kRunRainbowFallback = "QCCD";

constexpr std::string_view kPictureKeys[] = {
    "CONTROL_DengStaPic",   "CONTROL_BLFXLStaPic",  "CONTROL_BLFXRStaPic",   "CONTROL_FYSJSStaPic",
    "CONTROL_HXsjsStaPic",  "CONTROL_TSsjsStaPic",  "CONTROL_CDsjsStaPic",   "CONTROL_RUNysButton",
    "CONTROL_FYdjcfStaPic", "CONTROL_FYggcfStaPic", "CONTROL_USERgjStaPic1", "CONTROL_USERgjStaPic2",
};
constexpr std::string_view kBrushButton = "CONTROL_USERysButton";
constexpr std::string_view kBaseButton = "CONTROL_USERjsButton";

constexpr std::string_view kReportKeys[] = {"FUNC_REPORT1", "FUNC_REPORT2", "FUNC_REPORT3", "FUNC_REPORT4"};
constexpr std::string_view kBoxKeys[] = {"m_edit_rgbr", "m_edit_rgbg", "m_edit_rgbb"};
constexpr std::string_view kPresetKeys[] = {"m_button_rgb1", "m_button_rgb2", "m_button_rgb3",
                                            "m_button_rgb4", "m_button_rgb5", "m_button_rgb6"};
constexpr std::string_view kNoticeKey = "CONTROL_LightNotice";

// Controls that move with the effect: the first key is the usual place, the
// second the place for the effect named.
struct MovingControl {
    std::string_view key;
    std::string_view alternative;
    int alternativeEffect;
};
constexpr MovingControl kMoving[] = {
    {"CONTROL_SpeedStatic", "CONTROL_SpeedStatic2", kEffectColourTrail},
    {"CONTROL_SpeedSlider", "CONTROL_SpeedSlider2", kEffectColourTrail},
    {"CONTROL_BLFXStatic", "CONTROL_BLFXStatic2", 1},
    {"CONTROL_BLFXLStaPic", "CONTROL_BLFXLStaPic2", 1},
    {"CONTROL_BLFXRStaPic", "CONTROL_BLFXRStaPic2", 1},
};

// The controls each effect shows, group by group.
constexpr std::string_view kBrightnessGroup[] = {"CONTROL_LightStatic", "CONTROL_LightSlider"};
constexpr std::string_view kSpeedGroup[] = {"CONTROL_SpeedStatic", "CONTROL_SpeedSlider"};
constexpr std::string_view kDirectionGroup[] = {"CONTROL_BLFXStatic", "CONTROL_BLFXLStaPic", "CONTROL_BLFXRStaPic"};
constexpr std::string_view kFyGroup[] = {"CONTROL_FYYSStatic",   "CONTROL_FYYSButton",   "CONTROL_FYSJSStaPic",
                                         "CONTROL_FYSJSStatic",  "CONTROL_FYCFStatic",   "CONTROL_FYdjcfStaPic",
                                         "CONTROL_FYdjcfStatic", "CONTROL_FYggcfStaPic", "CONTROL_FYggcfStatc"};
constexpr std::string_view kUserGroup[] = {"CONTROL_USERysStatic", "CONTROL_USERysButton", "CONTROL_USERjsStatic",
                                           "CONTROL_USERjsButton", "CONTROL_USERgjStatic", "CONTROL_USERgjStaPic1",
                                           "CONTROL_USERgjStaPic2"};
constexpr std::string_view kJtGroup[] = {"CONTROL_JTysStatic", "CONTROL_JTysButton"};
constexpr std::string_view kHxGroup[] = {"CONTROL_HXysStatic", "CONTROL_HXysButton", "CONTROL_HXsjsStaPic",
                                         "CONTROL_HXsjsStatic"};
constexpr std::string_view kTsGroup[] = {"CONTROL_TSysStatic", "CONTROL_TSysButton", "CONTROL_TSsjsStaPic",
                                         "CONTROL_TSsjsStatic"};
constexpr std::string_view kCdGroup[] = {"CONTROL_CDysStatic", "CONTROL_CDysButton", "CONTROL_CDsjsStaPic",
                                         "CONTROL_CDsjsStatic"};
constexpr std::string_view kRunGroup[] = {"CONTROL_RUNsjsStatic", "CONTROL_RUNysStaticBtn", "CONTROL_RUNysButton",
                                          "CONTROL_RUNsjs7Pic"};

bool KnownEffect(int effect)
{
    return effect >= kFirstEffect && effect <= kLastEffect;
}
bool HasBrightness(int effect)
{
    return KnownEffect(effect) && effect != kEffectColourTrail;
}
bool HasSpeed(int effect)
{
    return KnownEffect(effect) && effect != 1 && effect != kEffectPerKey && effect != kEffectSingleColour;
}
bool HasDirection(int effect)
{
    return effect == 1 || effect == 2 || effect == 10;
}

std::span<const std::string_view> OwnGroup(int effect)
{
    switch (effect) {
    case kEffectColourTrail:
        return kFyGroup;
    case kEffectPerKey:
        return kUserGroup;
    case kEffectSingleColour:
        return kJtGroup;
    case kEffect11:
        return kHxGroup;
    case kEffect12:
        return kTsGroup;
    case kEffect14:
        return kCdGroup;
    case kEffect15:
        return kRunGroup;
    default:
        return {};
    }
}

} // namespace

namespace {
// Effects with a colour of their own: the colour button and, but for effect
// 9, the rainbow toggle.
constexpr std::array<std::pair<int, std::pair<std::string_view, std::string_view>>, 6> kColourEffects = {{
    {kEffectColourTrail, {"CONTROL_FYYSButton", "CONTROL_FYSJSStaPic"}},
    {kEffectSingleColour, {"CONTROL_JTysButton", ""}},
    {kEffect11, {"CONTROL_HXysButton", "CONTROL_HXsjsStaPic"}},
    {kEffect12, {"CONTROL_TSysButton", "CONTROL_TSsjsStaPic"}},
    {kEffect14, {"CONTROL_CDysButton", "CONTROL_CDsjsStaPic"}},
    {kEffect15, {"CONTROL_RUNysStaticBtn", "CONTROL_RUNysButton"}},
}};
} // namespace

int LightOfKeyButton(int button)
{
    if (button < 0 || button >= kLightingKeyButtons) return -1;
    if (button < static_cast<int>(kOrdinaryKeyButtons)) return kKeyLedTable[static_cast<std::size_t>(button)];
    if (button == kLightingFnButton) return kFnLight;
    const auto light = LightOfGKey(button - static_cast<int>(kOrdinaryKeyButtons) + 1);
    return light ? *light : -1;
}

QString LightingNoticeText(std::string_view key, const std::vector<std::string>& args)
{
    return QString::fromStdU16String(FormatLanguageText(ReadLanguageTextOrBuiltIn(LanguageFilePath(), key), args));
}

struct LightingPanel::PaintBatch {
    std::mutex mutex;
    std::vector<Lighting::KeyPaint> paints;

    void Add(std::size_t light, Colour colour)
    {
        std::lock_guard lock(mutex);
        auto it = std::find_if(paints.begin(), paints.end(), [&](const auto& p) { return p.light == light; });
        if (it != paints.end())
            it->colour = colour; // painted again before it went out: only the last colour is sent
        else
            paints.push_back({light, colour});
    }
    std::vector<Lighting::KeyPaint> Take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(paints, {});
    }
};

bool InColourRing(QPoint windowPoint)
{
    const int dx = windowPoint.x() - kColourRingCentre.x();
    const int dy = windowPoint.y() - kColourRingCentre.y();
    const long long squared = static_cast<long long>(dx) * dx + static_cast<long long>(dy) * dy;
    return squared >= kColourRingInnerSquared && squared <= kColourRingOuterSquared;
}

LightingPanel::LightingPanel(QWidget& window, Lighting& lighting, LightingKeyButtons* keys, LightingPanelSetup setup)
    : QObject(&window), m_window(window), m_lighting(lighting), m_keys(keys), m_setup(std::move(setup)),
      m_language(m_setup.languageIndex)
{
    m_writer = std::make_unique<LightingWriter>(m_lighting, [this](const LightingJobDone& done) {
        QMetaObject::invokeMethod(
            this, [this, done] { OnJobDone(done); }, Qt::QueuedConnection);
    });
    CreateControls();
    PlaceControls();
    Recaption(m_language);
    m_view = m_lighting.State();
    m_view.perKeyLights = m_setup.settings.LightSwitch();
    m_window.installEventFilter(this);
    ShowView();
}

LightingPanel::~LightingPanel()
{
    // Lets the changes under way reach the keyboard before the panel goes.
    m_writer.reset();
}

QImage LightingPanel::Picture(const QString& name) const
{
    // Decoded when first shown: a start in the tray needs none of them.
    auto it = m_pictures.find(name);
    if (it == m_pictures.end()) {
        // A missing picture leaves its control blank, as a skin without it means.
        const QImage picture(QString::fromStdU16String((m_setup.skinFolder / name.toStdU16String()).u16string()));
        it = m_pictures.emplace(name, picture).first;
    }
    return it->second;
}

void LightingPanel::CreateControls()
{
    auto name = [](QWidget* widget, std::string_view key) {
        widget->setObjectName(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())));
    };
    for (const PanelLabel& entry : kLabels) {
        auto* label = new ColourLabel(&m_window);
        name(label, entry.skinKey);
        m_labels[entry.skinKey] = label;
        m_controls[entry.skinKey] = label;
    }
    for (std::string_view key : kPictureKeys) {
        auto* picture = new ClickablePicture(&m_window);
        name(picture, key);
        m_controls[key] = picture;
    }
    m_switch = static_cast<ClickablePicture*>(m_controls["CONTROL_DengStaPic"]);
    connect(m_switch, &ClickablePicture::clicked, this, &LightingPanel::OnLightSwitch);
    connect(static_cast<ClickablePicture*>(m_controls["CONTROL_BLFXLStaPic"]), &ClickablePicture::clicked, this,
            [this] { OnDirection(0); });
    connect(static_cast<ClickablePicture*>(m_controls["CONTROL_BLFXRStaPic"]), &ClickablePicture::clicked, this,
            [this] { OnDirection(1); });
    connect(static_cast<ClickablePicture*>(m_controls["CONTROL_FYdjcfStaPic"]), &ClickablePicture::clicked, this,
            [this] { OnTrigger(kTriggerSingleKey); });
    connect(static_cast<ClickablePicture*>(m_controls["CONTROL_FYggcfStaPic"]), &ClickablePicture::clicked, this,
            [this] { OnTrigger(kTriggerGrid); });
    connect(static_cast<ClickablePicture*>(m_controls["CONTROL_USERgjStaPic1"]), &ClickablePicture::clicked, this,
            [this] { OnTool(0); });
    connect(static_cast<ClickablePicture*>(m_controls["CONTROL_USERgjStaPic2"]), &ClickablePicture::clicked, this,
            [this] { OnTool(1); });

    auto makeColourButton = [&](std::string_view key) {
        auto* button = new SkinColourButton(&m_window);
        name(button, key);
        button->SetColumnsNumber(kColourPaletteColumns);
        m_controls[key] = button;
        return button;
    };
    for (const auto& [effect, keys] : kColourEffects) {
        const int id = effect;
        SkinColourButton* button = makeColourButton(keys.first);
        connect(button, &SkinColourButton::colourChosen, this,
                [this, id](const QColor& colour) { OnEffectColour(id, RefFromColour(colour)); });
        if (!keys.second.empty())
            connect(static_cast<ClickablePicture*>(m_controls[keys.second]), &ClickablePicture::clicked, this,
                    [this, id] { OnRainbow(id); });
    }
    connect(makeColourButton(kBrushButton), &SkinColourButton::colourChosen, this,
            [this](const QColor& colour) { OnBrushColour(RefFromColour(colour)); });
    connect(makeColourButton(kBaseButton), &SkinColourButton::colourChosen, this,
            [this](const QColor& colour) { OnBaseColour(RefFromColour(colour)); });

    m_effectList = new QComboBox(&m_window);
    name(m_effectList, "CONTROL_XGcombox");
    m_effectList->installEventFilter(this);
    m_controls["CONTROL_XGcombox"] = m_effectList;
    connect(m_effectList, &QComboBox::activated, this, &LightingPanel::OnEffectActivated);

    m_brightness = new PictureSlider(&m_window, lightid::kBrightnessSlider);
    name(m_brightness, "CONTROL_LightSlider");
    m_controls["CONTROL_LightSlider"] = m_brightness;
    m_speed = new PictureSlider(&m_window, lightid::kSpeedSlider);
    name(m_speed, "CONTROL_SpeedSlider");
    m_controls["CONTROL_SpeedSlider"] = m_speed;
    for (PictureSlider* slider : {m_brightness, m_speed}) {
        slider->SetRange(0, kBrightnessMax);
        slider->SetPageSize(10);
    }

    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        auto* box = new QLineEdit(&m_window);
        name(box, kBoxKeys[i]);
        box->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), box));
        box->setMaxLength(3);
        box->setAlignment(Qt::AlignCenter);
        box->setFrame(false);
        box->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; color: white; }"));
        const int index = static_cast<int>(i);
        connect(box, &QLineEdit::textEdited, this, [this, index] { OnBoxEdited(index); });
        m_boxes[i] = box;
        m_controls[kBoxKeys[i]] = box;
    }
    for (int i = 0; i < lightid::kPresetCount; ++i) {
        auto* preset = new ImageButton(&m_window);
        name(preset, kPresetKeys[i]);
        const Colour colour = kPresetColours[static_cast<std::size_t>(i)];
        connect(preset, &ImageButton::clicked, this, [this, colour] {
            if (!m_view.perKeyLights) return;
            ApplyTypedColour(colour);
        });
        m_controls[kPresetKeys[i]] = preset;
    }
    for (int i = 0; i < 4; ++i) {
        auto* report = new ImageButton(&m_window);
        name(report, kReportKeys[i]);
        connect(report, &ImageButton::clicked, this, [this, i] { OnReportRate(i + 1); });
        m_controls[kReportKeys[i]] = report;
    }

    m_notice = new QLabel(&m_window);
    name(m_notice, kNoticeKey);
    m_notice->setWordWrap(true);
    m_notice->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_notice->setAlignment(Qt::AlignCenter);
    m_notice->setStyleSheet(QStringLiteral("QLabel { background: rgba(12, 14, 18, 235); color: #ffd166; "
                                           "border: 1px solid #ff3d8b; border-radius: 4px; padding: 3px; }"));
    m_notice->hide();
    m_noticeTimer = new QTimer(this);
    m_noticeTimer->setSingleShot(true);
    connect(m_noticeTimer, &QTimer::timeout, m_notice, &QWidget::hide);
}

void LightingPanel::SetStatePictures(const StateImage& normal, const StateImage& over, const StateImage& down,
                                     const StateImage& disable)
{
    m_setup.normal = normal;
    m_setup.over = over;
    m_setup.down = down;
    m_setup.disable = disable;
    for (auto& [key, widget] : m_controls) {
        if (auto* button = qobject_cast<ImageButton*>(widget)) {
            button->ReplaceImages(normal, over, down, normal, key.starts_with("FUNC_REPORT") ? disable : normal);
        }
    }
}

void LightingPanel::PlaceControls()
{
    const std::filesystem::path& ini = m_setup.skinIni;
    for (auto& [key, widget] : m_controls) {
        if (key == kNoticeKey) continue;
        if (auto* button = qobject_cast<ImageButton*>(widget)) {
            const bool report = key.starts_with("FUNC_REPORT");
            PlaceImageButton(*button, ini, kPlacementSection, key, m_setup.normal, m_setup.over, m_setup.down,
                             m_setup.normal, report ? m_setup.disable : m_setup.normal);
        } else {
            PlaceControl(*widget, ini, kPlacementSection, key);
        }
    }
    // A skin without a place for the notice gets it under the effect list.
    const SkinRect notice = ReadSkinRect(ini, kPlacementSection, kNoticeKey);
    if (notice == SkinRect{}) {
        const QRect list = m_effectList->geometry();
        m_notice->setGeometry(list.x(), list.bottom() + 4, std::max(list.width(), 180), 48);
    } else {
        m_notice->setGeometry(notice.x, notice.y, notice.w, notice.h);
    }
    m_noticeHeight = m_notice->height();
    m_notice->raise();
}

void LightingPanel::Recaption(int languageIndex)
{
    m_language = languageIndex;
    // Every caption comes from the section of the language shown; a language
    // without a section of its own reads the first.
    std::string_view section = "Control_Name";
    if (auto own = PanelCaptionSection(languageIndex)) section = *own;
    for (const PanelLabel& entry : kLabels) {
        QString text = ReadSkinText(m_setup.skinIni, section, entry.caption, u"");
        if (entry.skinKey == kRunRainbowLabel && text.isEmpty())
            text = ReadSkinText(m_setup.skinIni, section, kRunRainbowFallback, u"");
        m_labels[entry.skinKey]->setText(text);
    }
    const auto caption = [&](std::string_view key) {
        QString text = ReadSkinText(m_setup.skinIni, section, key, u"").trimmed();
        if (text.isEmpty()) {
            for (const auto& [english, word] : kEnglishCaptions)
                if (english == key) text = QString::fromStdU16String(std::u16string(word));
        }
        return text;
    };
    for (const PanelName& entry : kAccessibleNames) {
        QStringList parts;
        for (std::string_view key : entry.captions)
            if (!key.empty()) parts << caption(key);
        QString name = parts.join(QStringLiteral(": "));
        if (!entry.which.empty()) name += QLatin1Char(' ') + QLatin1String(entry.which.data(), entry.which.size());
        if (const auto control = m_controls.find(entry.control); control != m_controls.end())
            control->second->setAccessibleName(name);
    }
    const QString other =
        QString::fromStdU16String(ReadLanguageTextOrBuiltIn(LanguageFilePath(), kOtherColourKey, languageIndex));
    for (auto& [key, widget] : m_controls)
        if (auto* button = qobject_cast<SkinColourButton*>(widget)) button->EnableOtherButton(other);
    FillEffectList();
    m_effectList->setCurrentIndex(m_effectIndex.RowOf(m_view.effect));
}

int LightingPanel::SelectedEffect() const
{
    return m_effectIndex.EffectAt(m_effectList->currentIndex());
}

bool LightingPanel::BaseColoured(int button) const
{
    return button >= 0 && button < kLightingKeyButtons && m_baseColoured[static_cast<std::size_t>(button)];
}

void LightingPanel::FillEffectList()
{
    m_effectList->clear();
    m_effectIndex.Rebuild(m_view.settings);
    for (const EffectIndex::Entry& entry : m_effectIndex.Entries())
        m_effectList->addItem(ReadEffectName(m_setup.skinIni, m_language, entry.effect));
}

void LightingPanel::RefreshLightingPanel()
{
    if (m_writer->WritesPending()) {
        // Changes still on their way: show the state once they are in it.
        m_refreshPending = true;
        return;
    }
    m_refreshPending = false;
    const bool on = m_view.perKeyLights;
    m_view = m_lighting.State();
    m_view.perKeyLights = on;
    ShowView();
    Q_EMIT refreshed();
}

void LightingPanel::ReadAndRefresh(bool withKeyColours)
{
    Send({LightingJob::Read, withKeyColours ? 1 : 0},
         [withKeyColours](Lighting& lighting) { return lighting.ReadLightingState(withKeyColours); });
}

void LightingPanel::ShowView()
{
    FillEffectList();
    if (!m_reportShown) {
        m_reportShown = true;
        ShowReportRate(m_setup.settings.ReportRate());
    }
    if (!m_brightness->IsPressed()) m_brightness->SetPos(m_view.brightness);
    if (!m_speed->IsPressed()) m_speed->SetPos(kSpeedMax - m_view.speed);
    ShowPictures();
    ShowColourButtons();
    m_effectList->setCurrentIndex(m_effectIndex.RowOf(m_view.effect));
    const int effect = SelectedEffect();
    PlaceForEffect(effect);
    ShowControlsFor(effect);
    FillKeysForEffect(effect);
    SetBoxes(EditedColour(effect));
}

void LightingPanel::ShowPictures()
{
    // While the window is hidden (in the tray) the pictures wait for its showing.
    if (!m_window.isVisible()) {
        m_picturesPending = true;
        return;
    }
    m_picturesPending = false;
    // A slider's base picture sets its size and scale, also after placing sized it to its skin place.
    m_brightness->SetBasePicture(Picture(QStringLiteral("0.bmp")));
    m_brightness->SetPicture(Picture(QString::number(m_brightness->GetPos()) + ".bmp"));
    const QImage speed = Picture(QString::number(kBrightnessMax + 1 + m_speed->GetPos()) + ".bmp");
    m_speed->SetBasePicture(speed);
    m_speed->SetPicture(speed);
    auto show = [&](std::string_view key, const char* stem, bool down) {
        static_cast<ClickablePicture*>(m_controls[key])
            ->SetPicture(Picture(QString::fromLatin1(stem) + (down ? "down.bmp" : "up.bmp")));
    };
    show("CONTROL_DengStaPic", "deng", m_view.perKeyLights);
    show("CONTROL_BLFXLStaPic", "left", m_view.direction == 0);
    show("CONTROL_BLFXRStaPic", "right", m_view.direction == 1);
    for (const auto& [effect, keys] : kColourEffects)
        if (!keys.second.empty()) show(keys.second, "sjs", m_view.RainbowOf(effect) != 0);
    show("CONTROL_FYdjcfStaPic", "sjs", m_view.trigger[0] != 0);
    show("CONTROL_FYggcfStaPic", "sjs", m_view.trigger[1] != 0);
    show("CONTROL_USERgjStaPic1", "user1", m_tool == 0);
    show("CONTROL_USERgjStaPic2", "user2", m_tool == 1);
}

void LightingPanel::ShowColourButtons()
{
    for (const auto& [effect, keys] : kColourEffects)
        static_cast<SkinColourButton*>(m_controls[keys.first])
            ->SetColour(ColourFromRef(m_view.ColourOf(*ColourOfEffect(effect))));
    static_cast<SkinColourButton*>(m_controls[kBrushButton])->SetColour(ColourFromRef(m_brush));
    static_cast<SkinColourButton*>(m_controls[kBaseButton])->SetColour(ColourFromRef(m_view.ColourOf(EffectColour::B)));
}

void LightingPanel::PlaceForEffect(int effect)
{
    for (const MovingControl& moving : kMoving)
        PlaceControl(*m_controls[moving.key], m_setup.skinIni, kPlacementSection,
                     effect == moving.alternativeEffect ? moving.alternative : moving.key);
    // Placing sizes the slider to its skin place; its picture keeps the scale.
    ShowPictures();
}

void LightingPanel::ShowControlsFor(int effect)
{
    const bool on = m_view.perKeyLights;
    const std::span<const std::string_view> own = OwnGroup(effect);
    auto show = [&](std::span<const std::string_view> group, bool visible) {
        for (std::string_view key : group) m_controls[key]->setVisible(on && visible);
    };
    show(kBrightnessGroup, HasBrightness(effect));
    show(kSpeedGroup, HasSpeed(effect));
    show(kDirectionGroup, HasDirection(effect));
    for (std::span<const std::string_view> group :
         {std::span<const std::string_view>(kFyGroup), std::span<const std::string_view>(kUserGroup),
          std::span<const std::string_view>(kJtGroup), std::span<const std::string_view>(kHxGroup),
          std::span<const std::string_view>(kTsGroup), std::span<const std::string_view>(kCdGroup),
          std::span<const std::string_view>(kRunGroup)})
        show(group, group.data() == own.data());
    m_effectList->setVisible(on);
    for (QLineEdit* box : m_boxes) box->setEnabled(on);
    for (std::string_view key : kPresetKeys) m_controls[key]->setEnabled(on);
}

void LightingPanel::FillAllKeys(std::optional<QColor> colour)
{
    if (m_keys == nullptr) return;
    for (int button = 0; button < kLightingKeyButtons; ++button) m_keys->FillKeyButton(button, colour);
}

void LightingPanel::FillPerKeyColours()
{
    const Colour base = m_view.ColourOf(EffectColour::B);
    for (int button = 0; button < kLightingKeyButtons; ++button) {
        const Colour colour = m_view.keyColours.Get(static_cast<std::size_t>(LightOfKeyButton(button)));
        m_baseColoured[static_cast<std::size_t>(button)] = colour == base;
        if (m_keys != nullptr) m_keys->FillKeyButton(button, ColourFromRef(colour));
    }
}

void LightingPanel::FillKeysForEffect(int effect)
{
    if (!m_view.perKeyLights) return;
    if (effect == kEffectPerKey) {
        FillPerKeyColours();
    } else if (auto colour = ColourOfEffect(effect); colour && effect != kEffectPerKey) {
        FillAllKeys(ColourFromRef(m_view.ColourOf(*colour)));
    } else {
        FillAllKeys(std::nullopt);
    }
}

void LightingPanel::SetBoxes(std::optional<Colour> colour)
{
    // setText sends no textEdited: filling the boxes writes nothing.
    const std::array<int, 3> values = {RedOf(colour.value_or(0)), GreenOf(colour.value_or(0)),
                                       BlueOf(colour.value_or(0))};
    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        const QString text = colour ? QString::number(values[i]) : QString();
        if (m_boxes[i]->text() != text) m_boxes[i]->setText(text);
    }
}

std::optional<Colour> LightingPanel::EditedColour(int effect) const
{
    if (effect == kEffectPerKey) return m_tool == 1 ? m_view.ColourOf(EffectColour::B) : m_brush;
    if (const auto which = ColourOfEffect(effect)) return m_view.ColourOf(*which);
    return std::nullopt;
}

void LightingPanel::OnEffectActivated(int row)
{
    const int effect = m_effectIndex.EffectAt(row);
    PlaceForEffect(effect);
    if (KnownEffect(effect)) {
        m_view.effect = effect;
        Send({LightingJob::Effect}, [effect](Lighting& l) { return l.WriteEffect(effect); });
        FillKeysForEffect(effect);
    }
    SetBoxes(EditedColour(effect));
    // An effect this program does not know is not written; the list stays,
    // so another effect can still be chosen.
    ShowControlsFor(effect);
}

void LightingPanel::OnSliderMoved(int controlId, int position)
{
    position = std::clamp(position, 0, kBrightnessMax);
    if (controlId == lightid::kBrightnessSlider) {
        m_brightness->SetPicture(Picture(QString::number(position) + ".bmp"));
        m_view.brightness = position;
        Send({LightingJob::Brightness}, [position](Lighting& l) { return l.WriteBrightness(position); });
    } else if (controlId == lightid::kSpeedSlider) {
        m_speed->SetPicture(Picture(QString::number(kBrightnessMax + 1 + position) + ".bmp"));
        m_view.speed = kSpeedMax - position;
        Send({LightingJob::Speed}, [position](Lighting& l) { return l.WriteSpeed(position); });
    }
}

void LightingPanel::OnDirection(int direction)
{
    m_view.direction = direction;
    ShowPictures();
    Send({LightingJob::Direction}, [direction](Lighting& l) { return l.WriteDirection(direction); });
}

void LightingPanel::OnEffectColour(int effect, Colour colour)
{
    const auto which = ColourOfEffect(effect);
    if (!which) return;
    m_view.SetRainbow(effect, 0);
    m_view.ColourOf(*which) = colour;
    ShowPictures();
    ShowColourButtons();
    SetBoxes(colour);
    Send({LightingJob::EffectColour, effect},
         [effect, colour](Lighting& l) { return l.WriteEffectColour(effect, colour); });
    if (m_view.perKeyLights) FillAllKeys(ColourFromRef(colour));
}

void LightingPanel::OnRainbow(int effect)
{
    const auto flag = static_cast<std::uint8_t>(m_view.RainbowOf(effect) != 0 ? 0 : 1);
    m_view.SetRainbow(effect, flag);
    ShowPictures();
    Send({LightingJob::Rainbow, effect}, [effect, flag](Lighting& l) { return l.WriteRainbowFlag(effect, flag); });
}

void LightingPanel::OnTrigger(std::uint8_t trigger)
{
    if (m_view.trigger[trigger] != 0) return;
    m_view.SetTrigger(trigger);
    ShowPictures();
    Send({LightingJob::Trigger}, [trigger](Lighting& l) { return l.WriteTrigger(trigger); });
}

void LightingPanel::OnBrushColour(Colour colour)
{
    m_brush = colour;
    ShowColourButtons();
    SetBoxes(colour);
}

void LightingPanel::OnBaseColour(Colour colour)
{
    if (colour == m_view.ColourOf(EffectColour::B)) return;
    m_view.ColourOf(EffectColour::B) = colour;
    std::vector<std::size_t> lights;
    for (int button = 0; button < kLightingKeyButtons; ++button) {
        if (!m_baseColoured[static_cast<std::size_t>(button)]) continue;
        const auto light = static_cast<std::size_t>(LightOfKeyButton(button));
        lights.push_back(light);
        m_view.keyColours.Set(light, colour);
        if (m_keys != nullptr && m_view.perKeyLights && SelectedEffect() == kEffectPerKey)
            m_keys->FillKeyButton(button, ColourFromRef(colour));
    }
    Send({LightingJob::BaseColour}, [lights, colour](Lighting& l) {
        for (std::size_t light : lights) l.SetKeyColour(light, colour);
        return l.WriteBaseColour(colour);
    });
    ShowColourButtons();
    SetBoxes(colour);
}

void LightingPanel::OnTool(int tool)
{
    m_tool = tool;
    ShowPictures();
    SetBoxes(EditedColour(SelectedEffect()));
}

void LightingPanel::PaintKeyColour(int button)
{
    if (!m_view.perKeyLights || SelectedEffect() != kEffectPerKey) return;
    const int light = LightOfKeyButton(button);
    if (light < 0) return;
    const Colour base = m_view.ColourOf(EffectColour::B);
    const Colour colour = m_tool == 1 ? base : m_brush;
    const bool baseColoured = m_tool == 1 || m_brush == base;
    // Buttons that share a light show it alike.
    for (int other = 0; other < kLightingKeyButtons; ++other) {
        if (LightOfKeyButton(other) != light) continue;
        m_baseColoured[static_cast<std::size_t>(other)] = baseColoured;
        if (m_keys != nullptr) m_keys->FillKeyButton(other, ColourFromRef(colour));
    }
    m_view.keyColours.Set(static_cast<std::size_t>(light), colour);
    // Keys painted while the keyboard is busy go out together in the next
    // update, each light once with its last colour.
    if (!m_paintBatch) {
        m_paintBatch = std::make_shared<PaintBatch>();
        ++m_paintBatches;
    }
    m_paintBatch->Add(static_cast<std::size_t>(light), colour);
    m_writer->Submit({LightingJob::KeyColour, m_paintBatches}, [batch = m_paintBatch](Lighting& l) {
        const std::vector<Lighting::KeyPaint> paints = batch->Take();
        return l.WriteKeyColours(paints);
    });
}

bool LightingPanel::PaintsKeys() const
{
    return m_view.perKeyLights && SelectedEffect() == kEffectPerKey;
}

void LightingPanel::WatchKeyButton(QWidget* button, int number)
{
    if (button == nullptr || LightOfKeyButton(number) < 0) return;
    m_watchedKeys[button] = number;
    button->installEventFilter(this);
    connect(button, &QObject::destroyed, this, [this](QObject* gone) { m_watchedKeys.erase(gone); });
}

bool LightingPanel::OnKeyButtonMouse(QWidget* button, int number, QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {
        if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton || !PaintsKeys() || !button->isEnabled())
            return false;
        // The press paints at once; the button's own click would paint again.
        if (event->type() == QEvent::MouseButtonPress || m_dragKey != number) PaintKeyColour(number);
        m_dragKey = number;
        return true;
    }
    case QEvent::MouseMove: {
        if (m_dragKey < 0) return false;
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (!(mouse->buttons() & Qt::LeftButton) || !PaintsKeys()) {
            m_dragKey = -1;
            return false;
        }
        // The pressed button holds the mouse: find the key under it.
        const QPoint at = button->mapTo(&m_window, mouse->position().toPoint());
        for (QWidget* under = m_window.childAt(at); under != nullptr && under != &m_window;
             under = under->parentWidget()) {
            auto it = m_watchedKeys.find(under);
            if (it == m_watchedKeys.end()) continue;
            if (it->second != m_dragKey && under->isEnabled() && under->isVisible()) {
                m_dragKey = it->second;
                PaintKeyColour(m_dragKey);
            }
            break;
        }
        return true;
    }
    case QEvent::MouseButtonRelease:
        if (m_dragKey < 0 || static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) return false;
        m_dragKey = -1;
        return true;
    default:
        return false;
    }
}

void LightingPanel::OnBoxEdited(int box)
{
    if (!m_view.perKeyLights) {
        SetBoxes(EditedColour(SelectedEffect()));
        return;
    }
    std::array<int, 3> values{};
    for (std::size_t i = 0; i < m_boxes.size(); ++i) {
        const QString text = m_boxes[i]->text();
        bool ok = true;
        const int value = text.isEmpty() ? 0 : text.toInt(&ok);
        values[i] = ok ? std::clamp(value, 0, 255) : 255;
    }
    (void)box; // every box is read; the clamp holds for all three
    const Colour colour = MakeColour(static_cast<std::uint8_t>(values[0]), static_cast<std::uint8_t>(values[1]),
                                     static_cast<std::uint8_t>(values[2]));
    ApplyTypedColour(colour);
}

void LightingPanel::ApplyTypedColour(Colour colour)
{
    const int effect = SelectedEffect();
    if (effect == kEffectPerKey) {
        if (m_tool == 1)
            OnBaseColour(colour);
        else
            OnBrushColour(colour);
    } else if (ColourOfEffect(effect)) {
        OnEffectColour(effect, colour);
    }
    // The boxes show what the colour went to: for an effect without a
    // colour the typed or picked digits go back at once.
    SetBoxes(EditedColour(effect));
}

void LightingPanel::OnWindowClick(QPoint windowPoint)
{
    if (!m_view.perKeyLights || !InColourRing(windowPoint)) return;
    // The colour of the ring as the window draws it there: no screen grab.
    const QColor picked = m_window.grab(QRect(windowPoint, QSize(1, 1))).toImage().pixelColor(0, 0);
    ApplyTypedColour(RefFromColour(picked));
}

void LightingPanel::OnLightSwitch()
{
    if (m_view.perKeyLights) {
        SwitchOffKeyLights();
        return;
    }
    if (m_keys != nullptr && !m_keys->SettleKeyEdits()) return;
    if (Status stored = m_setup.settings.SetLightSwitch(true); !stored.ok()) {
        ShowKeptSetting(stored.error());
        return;
    }
    m_view.perKeyLights = true;
    ShowPictures();
    FillKeysForEffect(SelectedEffect());
    ShowControlsFor(SelectedEffect());
}

void LightingPanel::SwitchOffKeyLights()
{
    Status stored = m_setup.settings.SetLightSwitch(false);
    // Off for this run even when the file keeps it on: the profile buttons
    // rely on the keys showing their assignments again.
    m_view.perKeyLights = false;
    ShowPictures();
    FillAllKeys(std::nullopt);
    if (m_keys != nullptr) m_keys->ShowAssignmentLooks();
    ShowControlsFor(SelectedEffect());
    if (!stored.ok()) ShowNotice(kSettingNotKeptKey, {stored.error()});
}

void LightingPanel::ShowKeptSetting(const std::string& reason)
{
    const bool on = m_setup.settings.LightSwitch();
    if (on != m_view.perKeyLights) {
        m_view.perKeyLights = on;
        ShowPictures();
        FillKeysForEffect(SelectedEffect());
        if (!on) {
            FillAllKeys(std::nullopt);
            if (m_keys != nullptr) m_keys->ShowAssignmentLooks();
        }
        ShowControlsFor(SelectedEffect());
    }
    ShowReportRate(m_setup.settings.ReportRate());
    ShowNotice(kSettingNotKeptKey, {reason});
}

void LightingPanel::RestoreLightingDefaults()
{
    if (!m_view.perKeyLights) return;
    Send({LightingJob::Defaults}, [](Lighting& l) { return l.WriteLightingDefaults(); });
    // The panel shows what the defaults write, flags included.
    LightingBlock block = m_view.block;
    std::copy(kLightingDefaults.begin(), kLightingDefaults.end(), block.bytes.begin());
    m_view.SetRainbow(kEffectColourTrail, block.bytes[lightaddr::kRainbow4]);
    DecodeLightingBlock(block, m_view);
    if (m_effectIndex.RowOf(1) >= 0) Send({LightingJob::Effect}, [](Lighting& l) { return l.WriteEffect(1); });
    if (m_view.settings.OffersEffect(kEffectPerKey)) {
        m_brush = 0;
        m_tool = 0;
        for (std::size_t light = 0; light < kWhiteLightCount; ++light) m_view.keyColours.Set(light, kWhite);
        Send({LightingJob::WhiteKeyColours}, [](Lighting& l) { return l.WriteWhiteKeyColours(); });
    }
    ShowView();
}

void LightingPanel::OnReportRate(int rate)
{
    if (Status stored = m_setup.settings.SetReportRate(rate); !stored.ok()) {
        ShowKeptSetting(stored.error());
        return;
    }
    ShowReportRate(rate);
}

void LightingPanel::ShowReportRate(int rate)
{
    for (int i = 0; i < 4; ++i) static_cast<ImageButton*>(m_controls[kReportKeys[i]])->SetSelected(i + 1 == rate);
}

void LightingPanel::OnJobDone(const LightingJobDone& done)
{
    if (done.kind.job == LightingJob::Read) {
        m_refreshPending = true;
    } else if (done.result != kResultOk) {
        // Show what the keyboard holds rather than what it refused.
        const bool withColours = m_view.settings.OffersEffect(kEffectPerKey);
        ReadAndRefresh(withColours);
        m_refreshPending = true;
        ShowNotice(kLightingNotTakenKey);
        Q_EMIT changeRefused();
    }
    // The report may come while the writer still counts its job as running:
    // a check of Busy here could put the refresh off with no job left to bring it.
    if (m_refreshPending && !m_writer->WritesPending()) RefreshLightingPanel();
}

void LightingPanel::Send(LightingJobKind kind, std::function<int(Lighting&)> job)
{
    m_paintBatch.reset();
    m_writer->Submit(kind, std::move(job));
}

void LightingPanel::ShowNotice(std::string_view key, const std::vector<std::string>& args)
{
    m_notice->setText(LightingNoticeText(key, args));
    // The skin's place is the least it takes: a long reason, a larger font or
    // another language's words make it taller, so no line is cut off.
    m_notice->resize(m_notice->width(), std::max(m_noticeHeight, m_notice->heightForWidth(m_notice->width())));
    m_notice->show();
    m_notice->raise();
    m_noticeTimer->start(kNoticeMs);
}

bool LightingPanel::eventFilter(QObject* watched, QEvent* event)
{
    if (auto key = m_watchedKeys.find(watched); key != m_watchedKeys.end())
        return OnKeyButtonMouse(static_cast<QWidget*>(watched), key->second, event);
    if (watched == &m_window) {
        if (event->type() == QEvent::Show && m_picturesPending) ShowPictures();
        if (const WindowMessage* moved = WindowMessage::As(event, kSliderMoved)) {
            OnSliderMoved(static_cast<int>(moved->first()), static_cast<int>(moved->second()));
            return true;
        }
        if (event->type() == QEvent::MouseButtonPress) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) OnWindowClick(mouse->position().toPoint());
        }
        return false; // the window still drags itself from its picture
    }
    if (watched == m_effectList && (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
        // Arrow keys would step through the effects and send each one.
        switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_Up:
        case Qt::Key_Down:
            return true;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

} // namespace kestrune

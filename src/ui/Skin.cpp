#include "ui/Skin.h"

#include "config/Folders.h"
#include "config/IniFile.h"
#include "config/LanguageKeyNames.h"
#include "config/LanguageTable.h"
#include "ui/ColourRef.h"
#include "ui/QtTranslations.h"

#include <QCoreApplication>
#include <QImageReader>
#include <QMetaObject>
#include <QPainter>
#include <QThread>
#include <QWidget>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace kestrune {

namespace {

// Keeps placements inside what a widget can take, whatever a skin says.
constexpr int kMaxPlacement = QWIDGETSIZE_MAX;

QRect Geometry(const SkinRect& rect)
{
    return QRect(std::clamp(rect.x, -kMaxPlacement, kMaxPlacement), std::clamp(rect.y, -kMaxPlacement, kMaxPlacement),
                 std::clamp(rect.w, 0, kMaxPlacement), std::clamp(rect.h, 0, kMaxPlacement));
}

void SetNameOnce(QWidget& control, std::string_view key)
{
    if (control.objectName().isEmpty()) control.setObjectName(QString::fromUtf8(key.data(), qsizetype(key.size())));
}

PictureFailureHandler& FailureHandler()
{
    static PictureFailureHandler handler;
    return handler;
}

std::optional<int>& SwitchedIndex()
{
    static std::optional<int> index;
    return index;
}

} // namespace

SkinRect ReadSkinRect(const std::filesystem::path& iniPath, std::string_view section, std::string_view key)
{
    return ParseSkinRect(ReadIniString(iniPath, section, key, kMissingSkinRect, kSkinReadBuffer));
}

QString ReadSkinText(const std::filesystem::path& iniPath, std::string_view section, std::string_view key,
                     std::u16string_view fallback)
{
    return QString::fromStdU16String(ReadIniString(iniPath, section, key, fallback, kSkinReadBuffer));
}

SkinScreen ReadSkinScreen(const std::filesystem::path& iniPath)
{
    SkinScreen screen;
    screen.main = ReadSkinText(iniPath, kScreenSection, kScreenMainKey, u"");
    screen.mask = ReadSkinText(iniPath, kScreenSection, kScreenMaskKey, screen.main.toStdU16String());
    screen.link = ReadSkinText(iniPath, kScreenSection, kScreenLinkKey, kDefaultSkinLink);
    return screen;
}

std::string KeyButtonSkinKey(std::uint8_t compactKey)
{
    char text[16];
    std::snprintf(text, sizeof text, "KEY_%03X", static_cast<unsigned>(compactKey));
    return text;
}

std::string MacroKeySkinKey(int number)
{
    return "FUNC_G" + std::to_string(number);
}

std::string ArrowPictureKey(int layoutVariant, bool left, int number)
{
    std::string key = layoutVariant != 0 ? "UP_ARROW_" : "DOWN_ARROW_";
    key += left ? "LEFT" : "RIGHT";
    return key + std::to_string(number);
}

std::optional<std::string_view> PanelCaptionSection(int languageIndex)
{
    if (languageIndex == kChineseLanguageIndex) return "Control_Name";
    if (languageIndex == kEnglishLanguageIndex) return "Control_Name1";
    return std::nullopt;
}

std::string_view EffectNameSection(int languageIndex)
{
    return languageIndex == kEnglishLanguageIndex ? "Mode1" : "Mode";
}

std::optional<QString> ReadPanelCaption(const std::filesystem::path& iniPath, int languageIndex, std::string_view key)
{
    const auto section = PanelCaptionSection(languageIndex);
    if (!section) return std::nullopt;
    return ReadSkinText(iniPath, *section, key, u"");
}

QString ReadEffectName(const std::filesystem::path& iniPath, int languageIndex, int effect)
{
    return ReadSkinText(iniPath, EffectNameSection(languageIndex), std::to_string(effect), u"1");
}

void PlaceImageButton(ImageButton& button, const std::filesystem::path& iniPath, std::string_view section,
                      std::string_view key, const StateImage& normal, const StateImage& over, const StateImage& down,
                      const StateImage& disable, const StateImage& other)
{
    const SkinRect rect = ReadSkinRect(iniPath, section, key);
    SetNameOnce(button, key);
    button.setGeometry(Geometry(rect));
    button.SetImages(QPoint(rect.x, rect.y), normal, over, down, disable, other);
    if (rect.x == 1 && rect.y == 1) button.setEnabled(false);
}

void PlaceControl(QWidget& control, const std::filesystem::path& iniPath, std::string_view section,
                  std::string_view key)
{
    SetNameOnce(control, key);
    control.setGeometry(Geometry(ReadSkinRect(iniPath, section, key)));
}

void PlaceArrowButton(ImageButton& button, const std::filesystem::path& iniPath, std::string_view placeSection,
                      std::string_view placeKey, std::string_view pictureSection, std::string_view pictureKey,
                      const StateImage& arrow)
{
    SetNameOnce(button, placeKey);
    button.setGeometry(Geometry(ReadSkinRect(iniPath, placeSection, placeKey)));
    const SkinRect offset = ReadSkinRect(iniPath, pictureSection, pictureKey);
    button.SetImages(QPoint(offset.x, offset.y), arrow, arrow, arrow, arrow, arrow);
}

namespace {

#if defined(__linux__) && defined(MAP_POPULATE)
// Sides beyond this are left to QImage to refuse or make.
constexpr int kMaxPictureSide = 32767;

// The formats pictures decode to that have no colour table to carry.
bool PlainPixelFormat(QImage::Format format)
{
    switch (format) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
    case QImage::Format_ARGB32_Premultiplied:
    case QImage::Format_RGB888:
    case QImage::Format_Grayscale8:
        return true;
    default:
        return false;
    }
}

struct PictureMapping {
    void* start;
    std::size_t length;
};

void UnmapPicture(void* info)
{
    auto* mapping = static_cast<PictureMapping*>(info);
    ::munmap(mapping->start, mapping->length);
    delete mapping;
}
#endif

} // namespace

bool WithinPictureLimit(QSize size, QImage::Format format)
{
    const int limitMegabytes = QImageReader::allocationLimit();
    if (size.width() <= 0 || size.height() <= 0) return false;
    if (limitMegabytes <= 0) return true;
    const double bytes = double(size.width()) * size.height() * QImage::toPixelFormat(format).bitsPerPixel() / 8;
    return bytes <= double(limitMegabytes) * 1024 * 1024;
}

QImage NewPictureImage(QSize size, QImage::Format format)
{
#if defined(__linux__) && defined(MAP_POPULATE)
    const int depth = QImage::toPixelFormat(format).bitsPerPixel();
    // Memory made ready at once is taken at once: only as much as a decoder may take anyway.
    if (PlainPixelFormat(format) && size.width() <= kMaxPictureSide && size.height() <= kMaxPictureSide &&
        WithinPictureLimit(size, format)) {
        // Lines on a 4-byte boundary, as QImage lays them out itself.
        const qsizetype bytesPerLine = ((qsizetype(size.width()) * depth + 31) / 32) * 4;
        const std::size_t length = std::size_t(bytesPerLine) * std::size_t(size.height());
        void* start =
            ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        if (start != MAP_FAILED) {
            auto* mapping = new PictureMapping{start, length};
            QImage image(static_cast<uchar*>(start), size.width(), size.height(), bytesPerLine, format, UnmapPicture,
                         mapping);
            if (!image.isNull()) return image;
            UnmapPicture(mapping);
        }
    }
#endif
    return QImage(size, format);
}

namespace {

// Black over everything of `image` outside `covered` (a rectangle at its top-left corner).
void BlackenOutside(QImage& image, const QRect& covered)
{
    const QRgb black = qRgb(0, 0, 0);
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        const int from = y < covered.height() ? covered.width() : 0;
        std::fill(row + from, row + width, black);
    }
}

} // namespace

StateImage LoadStateImage(std::string_view relativePath, QSize dialogSize)
{
    const std::filesystem::path path = ProgramFolder() / std::filesystem::path(relativePath);
    const QSize size = dialogSize + QSize(kStateImageMargin, kStateImageMargin);
    StateImage image = NewPictureImage(size, QImage::Format_RGB32);
    if (image.isNull()) {
        PictureFailure("no memory for a " + std::to_string(size.width()) + " x " + std::to_string(size.height()) +
                       " picture of " + path.string());
        return image;
    }
    QImageReader reader(QString::fromStdU16String(path.u16string()));
    const auto undrawn = [&] {
        // The state stays black: the skin shows where its picture is missing.
        qWarning("skin picture %s not drawn: %s", path.string().c_str(), qPrintable(reader.errorString()));
        return image;
    };
    const QSize pictureSize = reader.size();
    if (reader.imageFormat() == QImage::Format_RGB32 && !pictureSize.isEmpty() &&
        QRect(QPoint(0, 0), size).contains(QRect(QPoint(0, 0), pictureSize))) {
        // The usual case: the picture is decoded straight into the state
        // image's top-left corner and only the margin is blackened, so the
        // pixels are written once and no second picture-sized buffer is made.
        QImage corner(image.bits(), pictureSize.width(), pictureSize.height(), image.bytesPerLine(),
                      QImage::Format_RGB32);
        const bool read = reader.read(&corner);
        if (read && corner.constBits() == image.constBits()) {
            BlackenOutside(image, corner.rect());
            return image;
        }
        BlackenOutside(image, QRect());
        if (!read) return undrawn();
        // The decoder made a picture of its own: it is drawn in as any other.
        QPainter painter(&image);
        painter.drawImage(QPoint(0, 0), corner);
        return image;
    }
    BlackenOutside(image, QRect());
    const QImage picture = reader.read();
    if (picture.isNull()) return undrawn();
    QPainter painter(&image);
    painter.drawImage(QPoint(0, 0), picture);
    return image;
}

StateImage LoadStateImage(std::string_view relativePath, const QWidget& dialog)
{
    return LoadStateImage(relativePath, dialog.size());
}

void ApplyCaptionStyle(ImageButton& button, const CaptionStyle& style)
{
    button.SetTextStyle(true, style.points, QString::fromLatin1(style.face), ColourFromRef(style.colourRef),
                        style.format);
    button.SetTextRotation(style.escapement, style.heavy);
}

QString SkinnedListStyle()
{
    // The colours of the default skin's pictures: text, dim text, cap faces
    // and edges, accent and selection.
    return QStringLiteral(
               "QTableView, QTreeView { background: transparent; color: #e8ecf2; gridline-color: #2b313c; border: none;"
               " font-family: \"%1\"; font-size: %2pt;"
               " selection-background-color: #1273d6; selection-color: #ffffff; }"
               "QTableView::item, QTreeView::item { padding-left: 3px; }"
               "QTableView::indicator { width: 12px; height: 12px; border: 1px solid #8a93a3; border-radius: 2px;"
               " background: #0c0e12; }"
               "QTableView::indicator:checked { background: #19d3ff; border-color: #19d3ff; }"
               "QHeaderView { background: transparent; }"
               "QHeaderView::section { background: #23272f; color: #e8ecf2; border: none;"
               " border-right: 1px solid #3c4350; border-bottom: 1px solid #3c4350; padding: 3px 4px;"
               " font-family: \"%1\"; font-size: %2pt; font-weight: bold; }"
               "QTableCornerButton::section { background: #23272f; border: none; }"
               "QScrollBar { background: #171b23; width: 10px; height: 10px; }"
               "QScrollBar::handle { background: #3c4350; border-radius: 4px; min-height: 20px; min-width: 20px; }"
               "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }")
        .arg(QString::fromLatin1(kTextButtonCaption.face))
        .arg(kTextButtonCaption.points);
}

QString SkinnedBoxStyle()
{
    // The colours of SkinnedListStyle, so boxes and lists of one dialog match.
    return QStringLiteral(
        "QLineEdit, QComboBox { background: #0c0e12; color: #e8ecf2; border: 1px solid #3c4350;"
        " border-radius: 3px; padding: 1px 4px; selection-background-color: #1273d6; selection-color: #ffffff; }"
        "QLineEdit:focus, QComboBox:focus { border-color: #19d3ff; }"
        "QLineEdit:disabled, QComboBox:disabled { color: #8a93a3; }"
        "QComboBox QLineEdit { border: none; padding: 0; background: transparent; }"
        "QComboBox QAbstractItemView { background: #171b23; color: #e8ecf2; border: 1px solid #3c4350;"
        " selection-background-color: #1273d6; selection-color: #ffffff; outline: none; }");
}

PictureFailureHandler SetPictureFailureHandler(PictureFailureHandler handler)
{
    return std::exchange(FailureHandler(), std::move(handler));
}

void PictureFailure(const std::string& why)
{
    // The handler may show a box or end the event loop: pictures decoded on
    // a worker thread report their failure on the GUI thread.
    QCoreApplication* application = QCoreApplication::instance();
    if (application != nullptr && QThread::currentThread() != application->thread()) {
        QMetaObject::invokeMethod(
            application, [why] { PictureFailure(why); }, Qt::QueuedConnection);
        return;
    }
    if (const PictureFailureHandler& handler = FailureHandler()) {
        handler(why);
        return;
    }
    std::fprintf(stderr, "kestrune: cannot go on without a skin picture: %s\n", why.c_str());
    // A running event loop ends with the failure, so the program tears Qt
    // down in order. Without one the program ends here, at once: exit
    // handlers run with the application object still alive would tear Qt
    // down out of order and crash instead of ending.
    if (application != nullptr && QThread::currentThread()->loopLevel() > 0) {
        QCoreApplication::exit(kSkinPictureFailed);
        return;
    }
    std::fflush(nullptr);
    std::quick_exit(kSkinPictureFailed);
}

Status SwitchLanguage(int languageIndex, const std::function<void(int)>& recaption)
{
    SwitchedIndex() = languageIndex;
    Status stored = WriteLanguageIndex(LanguageFilePath(), languageIndex);
    LoadLanguageTableAndKeyNames();
    ApplyQtTranslations(languageIndex);
    if (recaption) recaption(languageIndex);
    return stored;
}

std::optional<int> SwitchedLanguageIndex()
{
    return SwitchedIndex();
}

bool MainCaptionsInEnglish()
{
    return ReadLanguageIndex() == kEnglishLanguageIndex || SwitchedIndex() == kEnglishLanguageIndex;
}

QString MainCaptionText(std::string_view key)
{
    const std::string_view section = MainCaptionsInEnglish() ? kEnglishSection : kChineseSection;
    return QString::fromStdU16String(
        ReadIniString(LanguageFilePath(), section, key, kMissingLanguageText, kLanguageReadBuffer));
}

QString KeyboardProfileName(int profile)
{
    const QString text = MainCaptionText("PROFILE_" + std::to_string(profile + 1));
    if (!text.trimmed().isEmpty()) return text;
    return QStringLiteral("Profile %1").arg(profile + 1);
}

} // namespace kestrune

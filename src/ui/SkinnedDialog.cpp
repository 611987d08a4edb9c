#include "ui/SkinnedDialog.h"

#include "ui/Skin.h"
#include "ui/UserDialogs.h"

#include <QFile>
#include <QImageReader>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <utility>
#include <vector>

namespace kestrune {

namespace {

// Rows are turned into a region in batches: one union per batch instead of
// one per run keeps large masks quick.
constexpr std::size_t kRegionBatch = 2000;

std::string Describe(const std::filesystem::path& file)
{
    return "\"" + file.string() + "\"";
}

} // namespace

QRegion RegionFromMask(const QImage& mask)
{
    const QImage pixels = mask.convertToFormat(QImage::Format_RGB32);
    QRegion region;
    std::vector<QRect> batch;
    batch.reserve(kRegionBatch);
    auto flush = [&] {
        if (batch.empty()) return;
        QRegion part;
        part.setRects(batch.data(), static_cast<int>(batch.size()));
        region = region.united(part);
        batch.clear();
    };
    for (int y = 0; y < pixels.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(pixels.constScanLine(y));
        int x = 0;
        while (x < pixels.width()) {
            while (x < pixels.width() && (row[x] & 0xFFFFFF) == 0xFFFFFF) ++x;
            const int start = x;
            while (x < pixels.width() && (row[x] & 0xFFFFFF) != 0xFFFFFF) ++x;
            if (x > start) {
                batch.emplace_back(start, y, x - start, 1);
                if (batch.size() == kRegionBatch) flush();
            }
        }
    }
    flush();
    return region;
}

std::optional<QImage> LoadSkinPicture(const std::filesystem::path& file)
{
    QFile input(QString::fromStdU16String(file.u16string()));
    if (!input.open(QIODevice::ReadOnly)) {
        PictureFailure("cannot open " + Describe(file) + ": " + input.errorString().toStdString());
        return std::nullopt;
    }
    if (input.size() == 0) {
        PictureFailure(Describe(file) + " is empty");
        return std::nullopt;
    }
    // Decoded from the file as it is read, into memory made ready at once
    // when the header tells what the picture needs.
    QImageReader reader(&input);
    QImage picture;
    const QSize size = reader.size();
    const QImage::Format format = reader.imageFormat();
    if (format != QImage::Format_Invalid && WithinPictureLimit(size, format)) picture = NewPictureImage(size, format);
    if (!reader.read(&picture)) {
        if (input.error() != QFileDevice::NoError) {
            PictureFailure("cannot read " + Describe(file) + ": " + input.errorString().toStdString());
        } else {
            PictureFailure("cannot decode " + Describe(file) + ": " + reader.errorString().toStdString());
        }
        return std::nullopt;
    }
    return picture;
}

bool TakeDialogKey(QKeyEvent* event, bool helpAllowed)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->accept();
        return true;
    case Qt::Key_F1:
    case Qt::Key_Help:
        if (helpAllowed) OpenHelp();
        event->accept();
        return true;
    default:
        return false;
    }
}

std::optional<QSize> CheckSkinPicture(const std::filesystem::path& file)
{
    QFile input(QString::fromStdU16String(file.u16string()));
    if (!input.open(QIODevice::ReadOnly)) {
        PictureFailure("cannot open " + Describe(file) + ": " + input.errorString().toStdString());
        return std::nullopt;
    }
    if (input.size() == 0) {
        PictureFailure(Describe(file) + " is empty");
        return std::nullopt;
    }
    QImageReader reader(&input);
    if (!reader.canRead()) {
        PictureFailure("cannot decode " + Describe(file) + ": " + reader.errorString().toStdString());
        return std::nullopt;
    }
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) {
        PictureFailure("cannot decode " + Describe(file) + ": its header gives no picture size");
        return std::nullopt;
    }
    return size;
}

SkinnedDialog::SkinnedDialog(QWidget* parent, std::filesystem::path skinIniPath, std::filesystem::path skinFolder)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), m_skinIniPath(std::move(skinIniPath)),
      m_skinFolder(std::move(skinFolder))
{
    // The picture covers the whole window: nothing is erased beforehand.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
}

SkinnedDialog::~SkinnedDialog() = default;

bool SkinnedDialog::OnInitDialog()
{
    m_initialised = true;
    return m_shownOnly ? CheckSkin() : LoadSkin();
}

void SkinnedDialog::BindSkin()
{
    m_ini.Bind(m_skinIniPath);
    const QString main = m_ini.ReadString(kScreenSection, kScreenMainKey).value_or(QString());
    const QString mask = m_ini.ReadString(kScreenSection, kScreenMaskKey, main).value_or(QString());
    m_mainPath = m_skinFolder / std::filesystem::path(main.toStdU16String());
    m_maskPath = m_skinFolder / std::filesystem::path(mask.toStdU16String());
}

bool SkinnedDialog::LoadSkin()
{
    BindSkin();
    m_shaped = false;
    return LoadShownPictures();
}

bool SkinnedDialog::CheckSkin()
{
    BindSkin();
    std::optional<QSize> size = CheckSkinPicture(m_mainPath);
    if (!size || !CheckSkinPicture(m_maskPath)) return false;
    setGeometry(QRect(geometry().topLeft(), *size));
    return true;
}

bool SkinnedDialog::LoadShownPictures()
{
    std::optional<QImage> background = LoadSkinPicture(m_mainPath);
    if (!background) return false;
    if (!m_shaped || !m_shownOnly) {
        std::optional<QImage> shape = LoadSkinPicture(m_maskPath);
        if (!shape) return false;
        const QRegion region = RegionFromMask(*shape);
        // A mask without a single non-white pixel would leave a window nobody
        // can see or close; such a skin gets a plain rectangle instead.
        if (region.isEmpty()) {
            clearMask();
        } else {
            setMask(region);
        }
        // The shape is all a window that keeps its pictures only while shown needs of the mask.
        if (!m_shownOnly) m_mask = std::move(*shape);
        m_shaped = true;
    }
    m_background = std::move(*background);
    setGeometry(QRect(geometry().topLeft(), m_background.size()));
    m_picturesLoaded = true;
    update();
    return true;
}

void SkinnedDialog::DropShownPictures()
{
    m_background = QImage();
    m_mask = QImage();
    m_picturesLoaded = false;
}

void SkinnedDialog::ReleasePictures()
{
    DropShownPictures();
    m_initialised = false;
}

void SkinnedDialog::OnOK()
{
    ReleasePictures();
    QDialog::accept();
}

void SkinnedDialog::OnCancel()
{
    ReleasePictures();
    QDialog::reject();
}

void SkinnedDialog::setVisible(bool visible)
{
    if (visible && !m_initialised) OnInitDialog();
    if (visible && m_shownOnly && !m_picturesLoaded) LoadShownPictures();
    QDialog::setVisible(visible);
    if (!visible && m_shownOnly && m_picturesLoaded) DropShownPictures();
}

void SkinnedDialog::paintEvent(QPaintEvent* /*event*/)
{
    QPainter painter(this);
    if (!m_background.isNull()) painter.drawImage(QPoint(0, 0), m_background);
}

void SkinnedDialog::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QDialog::mousePressEvent(event);
        return;
    }
    // Where the window system moves windows itself, it follows the mouse
    // from here; elsewhere the dialog follows it by hand.
    QWindow* handle = window()->windowHandle();
    m_dragging = handle == nullptr || !handle->startSystemMove();
    m_dragOffset = event->globalPosition().toPoint() - pos();
    update();
    QDialog::mousePressEvent(event);
}

void SkinnedDialog::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton)) move(event->globalPosition().toPoint() - m_dragOffset);
    QDialog::mouseMoveEvent(event);
}

void SkinnedDialog::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) m_dragging = false;
    QDialog::mouseReleaseEvent(event);
}

} // namespace kestrune

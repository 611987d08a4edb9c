// Builds the default skin from its layout description: every dialog's INI
// file (placements written from the same rectangles the pictures are drawn
// with) and every JPEG and BMP picture the dialogs load.
//
//   skingen LAYOUT SOURCE_DIR OUTPUT_DIR [--review REVIEW_DIR] [--icons ICON_DIR]
//
// SOURCE_DIR holds the hand-written INI sections named by `template` lines.
// With --review the pictures are also written as PNG files, each dialog once
// more with every placement outlined and named, for looking them over.
// The tray icons go beside the skin pictures; with --icons the program's
// icon is also written in the hicolor sizes below ICON_DIR.

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QMap>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRect>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const QString& why)
{
    throw std::runtime_error(why.toStdString());
}

// ---------------------------------------------------------------------------
// Layout description

struct Control {
    QString key;
    QRect rect;
    QString kind;
    QString label;
    QString pane; // empty: drawn into every picture
};

struct Deco {
    QString pane; // empty: every picture
    QStringList args;
};

struct Picture {
    QString file;
    QString state;
    QString pane;
    QSet<QString> disabled;
};

struct ArrowCell {
    QString key;
    QRect rect;
    bool up = false;
    QString colour;
};

struct Bitmap {
    QString file;
    QString control;
    QStringList args;
};

struct Dialog {
    QString name;
    QString ini;
    QSize size;
    int radius = 16;
    QString background;
    QString mask;
    QString templateFile;
    QString link;
    std::vector<Picture> pictures;
    std::vector<Control> controls;
    std::vector<Deco> decos;
    // arrows
    QString arrowFile;
    QSize arrowSize;
    QString arrowBackground;
    std::vector<ArrowCell> arrows;
    std::vector<Bitmap> bitmaps;

    const Control* Find(const QString& key) const
    {
        for (const Control& c : controls)
            if (c.key == key) return &c;
        return nullptr;
    }
};

struct Layout {
    QMap<QString, QColor> colours;
    std::vector<Dialog> dialogs;

    QColor Colour(const QString& name) const
    {
        if (name.startsWith('#')) {
            QColor c(name);
            if (!c.isValid()) Fail("bad colour " + name);
            return c;
        }
        auto it = colours.find(name);
        if (it == colours.end()) Fail("unknown colour " + name);
        return *it;
    }
    Dialog* FindDialog(const QString& name)
    {
        for (Dialog& d : dialogs)
            if (d.name == name) return &d;
        return nullptr;
    }
};

int ToInt(const QString& text, const QString& where)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok) Fail(where + ": '" + text + "' is not a whole number");
    return value;
}

double ToDouble(const QString& text, const QString& where)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    if (!ok) Fail(where + ": '" + text + "' is not a number");
    return value;
}

QString Unescape(const QString& legend)
{
    QString out;
    for (qsizetype i = 0; i < legend.size(); ++i) {
        const QChar c = legend[i];
        if (c == '\\' && i + 1 < legend.size()) {
            const QChar n = legend[++i];
            if (n == 's') {
                out += ' ';
            } else if (n == '|') {
                out += QChar(0x1F); // a literal bar, not a line split
            } else {
                out += n;
            }
        } else {
            out += c;
        }
    }
    return out;
}

struct KeyGrid {
    int x = 0, y = 0, unit = 34, gap = 3;
};

void ParseKeyRow(Dialog& dialog, const KeyGrid& grid, double row, const QString& tokens, const QString& where)
{
    double cursor = 0;
    for (const QString& token : tokens.split(' ', Qt::SkipEmptyParts)) {
        if (token.startsWith('@')) {
            cursor = ToDouble(token.mid(1), where);
            continue;
        }
        if (token.startsWith('+')) {
            cursor += ToDouble(token.mid(1), where);
            continue;
        }
        const qsizetype eq = token.indexOf('=');
        if (eq <= 0) Fail(where + ": key token '" + token + "' has no legend");
        QString name = token.left(eq);
        const QString legend = Unescape(token.mid(eq + 1));
        double width = 1, height = 1;
        if (const qsizetype star = name.indexOf('*'); star > 0) {
            const QString size = name.mid(star + 1);
            name = name.left(star);
            const QStringList wh = size.split('x');
            width = ToDouble(wh[0], where);
            if (wh.size() > 1) height = ToDouble(wh[1], where);
        }
        Control c;
        c.key = name;
        const int left = grid.x + int(std::lround(cursor * grid.unit));
        const int top = grid.y + int(std::lround(row * grid.unit));
        const int right = grid.x + int(std::lround((cursor + width) * grid.unit)) - grid.gap;
        const int bottom = grid.y + int(std::lround((row + height) * grid.unit)) - grid.gap;
        c.rect = QRect(QPoint(left, top), QPoint(right - 1, bottom - 1));
        c.kind = name.startsWith("FUNC_G") ? "gkey" : "key";
        c.label = legend;
        if (dialog.Find(name)) Fail(where + ": " + name + " placed twice");
        dialog.controls.push_back(c);
        cursor += width;
    }
}

Layout ReadLayout(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) Fail("cannot open " + path);
    QTextStream in(&file);
    in.setEncoding(QStringConverter::Utf8);
    Layout layout;
    QString sectionType, sectionName;
    Dialog* dialog = nullptr;
    KeyGrid grid;
    int lineNo = 0;
    while (!in.atEnd()) {
        const QString raw = in.readLine();
        ++lineNo;
        const QString line = raw.trimmed();
        const QString where = path + ":" + QString::number(lineNo);
        if (line.isEmpty() || line.startsWith('#')) continue;
        if (line.startsWith('[')) {
            if (!line.endsWith(']')) Fail(where + ": unclosed section");
            const QStringList head = line.mid(1, line.size() - 2).split(' ', Qt::SkipEmptyParts);
            sectionType = head.value(0);
            sectionName = head.value(1);
            dialog = nullptr;
            if (sectionType == "dialog") {
                if (layout.FindDialog(sectionName)) Fail(where + ": dialog " + sectionName + " twice");
                layout.dialogs.push_back(Dialog{});
                dialog = &layout.dialogs.back();
                dialog->name = sectionName;
            } else if (sectionType == "arrows" || sectionType == "bitmaps") {
                dialog = layout.FindDialog(sectionName);
                if (!dialog) Fail(where + ": no dialog " + sectionName + " before this section");
            } else if (sectionType != "colours") {
                Fail(where + ": unknown section " + sectionType);
            }
            continue;
        }
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0) Fail(where + ": expected name = value");
        const QString name = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        const QStringList words = value.split(' ', Qt::SkipEmptyParts);

        if (sectionType == "colours") {
            layout.colours[name] = QColor(value);
            if (!layout.colours[name].isValid()) Fail(where + ": bad colour " + value);
            continue;
        }
        if (sectionType == "arrows") {
            if (name == "file") {
                dialog->arrowFile = value;
            } else if (name == "size") {
                dialog->arrowSize = QSize(ToInt(words.value(0), where), ToInt(words.value(1), where));
            } else if (name == "background") {
                dialog->arrowBackground = value;
            } else {
                if (words.size() != 6) Fail(where + ": arrow needs x y w h up|down colour");
                ArrowCell cell{name,
                               QRect(ToInt(words[0], where), ToInt(words[1], where), ToInt(words[2], where),
                                     ToInt(words[3], where)),
                               words[4] == "up", words[5]};
                dialog->arrows.push_back(cell);
            }
            continue;
        }
        if (sectionType == "bitmaps") {
            if (words.size() < 2) Fail(where + ": bitmap needs a control and a style");
            dialog->bitmaps.push_back(Bitmap{name, words[0], words.mid(1)});
            continue;
        }
        if (!dialog) Fail(where + ": outside a section");
        if (name == "ini") {
            dialog->ini = value;
        } else if (name == "size") {
            dialog->size = QSize(ToInt(words.value(0), where), ToInt(words.value(1), where));
        } else if (name == "radius") {
            dialog->radius = ToInt(value, where);
        } else if (name == "background") {
            dialog->background = value;
        } else if (name == "mask") {
            dialog->mask = value;
        } else if (name == "template") {
            dialog->templateFile = value;
        } else if (name == "link") {
            dialog->link = value;
        } else if (name == "picture") {
            Picture p;
            p.file = words.value(0);
            p.state = words.value(1);
            for (const QString& w : words.mid(2)) {
                if (w.startsWith("pane=")) p.pane = w.mid(5);
                if (w.startsWith("disabled="))
                    for (const QString& k : w.mid(9).split(',', Qt::SkipEmptyParts)) p.disabled.insert(k);
            }
            static const QStringList kStates{"normal", "over", "down", "disable", "unmarked", "marked"};
            if (!kStates.contains(p.state)) Fail(where + ": unknown state " + p.state);
            dialog->pictures.push_back(p);
        } else if (name == "keyboard") {
            if (words.size() != 4) Fail(where + ": keyboard needs x y unit gap");
            grid = KeyGrid{ToInt(words[0], where), ToInt(words[1], where), ToInt(words[2], where),
                           ToInt(words[3], where)};
        } else if (name.startsWith("keyrow ")) {
            ParseKeyRow(*dialog, grid, ToDouble(name.mid(7).trimmed(), where), value, where);
        } else if (name == "deco" || name.startsWith("deco@")) {
            dialog->decos.push_back(Deco{name.startsWith("deco@") ? name.mid(5) : QString(), words});
        } else {
            if (words.size() < 5) Fail(where + ": control needs x y w h kind");
            Control c;
            c.key = name;
            c.rect = QRect(ToInt(words[0], where), ToInt(words[1], where), ToInt(words[2], where),
                           ToInt(words[3], where));
            c.kind = words[4].section('@', 0, 0);
            c.pane = words[4].section('@', 1);
            c.label = words.mid(5).join(' ');
            if (dialog->Find(name)) Fail(where + ": " + name + " placed twice");
            dialog->controls.push_back(c);
        }
    }
    for (const Dialog& d : layout.dialogs) {
        if (d.ini.isEmpty() || d.size.isEmpty() || d.background.isEmpty() || d.mask.isEmpty())
            Fail("dialog " + d.name + " needs ini, size, background and mask");
        for (const Control& c : d.controls) {
            if (!QRect(QPoint(0, 0), d.size).contains(c.rect))
                Fail(d.name + ": " + c.key + " lies outside the dialog");
        }
        for (const Bitmap& b : d.bitmaps)
            if (!d.Find(b.control)) Fail(d.name + ": bitmap " + b.file + " names no control " + b.control);
    }
    return layout;
}

// ---------------------------------------------------------------------------
// Drawing

enum class Look { Plain, Hover, Pressed, Disabled, Selected, Assigned, Lit, Unmarked, Marked, Active };

// The look a kind of control shows in a state picture.
Look LookOf(const QString& kind, const QString& state)
{
    const int s = state == "over" ? 1 : state == "down" ? 2 : state == "disable" ? 3 : 0;
    if (state == "unmarked" || state == "marked") {
        if (kind == "key" || kind == "gkey") return state == "marked" ? Look::Marked : Look::Unmarked;
        return Look::Plain;
    }
    static const std::map<QString, std::array<Look, 4>> kLooks = {
        {"key", {Look::Plain, Look::Hover, Look::Pressed, Look::Assigned}},
        {"gkey", {Look::Plain, Look::Hover, Look::Pressed, Look::Assigned}},
        {"text", {Look::Plain, Look::Hover, Look::Pressed, Look::Disabled}},
        {"button", {Look::Plain, Look::Hover, Look::Pressed, Look::Disabled}},
        {"record", {Look::Plain, Look::Hover, Look::Pressed, Look::Disabled}},
        {"select", {Look::Plain, Look::Hover, Look::Pressed, Look::Selected}},
        {"icon", {Look::Plain, Look::Hover, Look::Pressed, Look::Plain}},
        {"close", {Look::Plain, Look::Hover, Look::Pressed, Look::Plain}},
        {"lock", {Look::Plain, Look::Lit, Look::Plain, Look::Plain}},
        {"bank", {Look::Plain, Look::Lit, Look::Plain, Look::Plain}},
        {"link", {Look::Plain, Look::Hover, Look::Hover, Look::Pressed}},
        {"tab", {Look::Plain, Look::Hover, Look::Active, Look::Disabled}},
        {"flip", {Look::Plain, Look::Hover, Look::Pressed, Look::Plain}},
    };
    auto it = kLooks.find(kind);
    return it == kLooks.end() ? Look::Plain : it->second[s];
}

class Painter {
public:
    Painter(const Layout& layout, QPainter& p) : m_layout(layout), m_p(p) {}

    QColor C(const char* name) const { return m_layout.Colour(name); }

    QFont Font(int px, int weight = QFont::Normal) const
    {
        QFont f("DejaVu Sans");
        f.setPixelSize(px);
        f.setWeight(QFont::Weight(weight));
        f.setHintingPreference(QFont::PreferFullHinting);
        return f;
    }

    void Window(const Dialog& d)
    {
        QLinearGradient g(0, 0, 0, d.size.height());
        g.setColorAt(0, C("window_top"));
        g.setColorAt(1, C("window_bottom"));
        m_p.fillRect(QRect(QPoint(0, 0), d.size), g);
        m_p.setRenderHint(QPainter::Antialiasing);
        // A faint glow of the accent along the top edge.
        QLinearGradient glow(0, 0, d.size.width(), 0);
        QColor a = C("accent"), b = C("accent2");
        a.setAlpha(150);
        b.setAlpha(150);
        glow.setColorAt(0, a);
        glow.setColorAt(1, b);
        QPainterPath outline;
        outline.addRoundedRect(QRectF(0.5, 0.5, d.size.width() - 1, d.size.height() - 1), d.radius, d.radius);
        m_p.setPen(QPen(C("border"), 1));
        m_p.setBrush(Qt::NoBrush);
        m_p.drawPath(outline);
        m_p.save();
        m_p.setClipPath(outline);
        m_p.fillRect(QRect(0, 0, d.size.width(), 2), glow);
        m_p.restore();
    }

    void Card(const QRect& r)
    {
        m_p.setPen(QPen(C("card_border"), 1));
        m_p.setBrush(C("card"));
        m_p.drawRoundedRect(QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    }

    void Text(int x, int baseline, int px, const QColor& colour, const QString& text, int weight = QFont::DemiBold)
    {
        m_p.setFont(Font(px, weight));
        m_p.setPen(colour);
        m_p.drawText(QPoint(x, baseline), text);
    }

    void Ring(int cx, int cy, int r0, int r1)
    {
        // Every hue at full brightness, pixel by pixel and unblended: the
        // window takes the colour of the screen pixel the user clicks.
        m_p.setRenderHint(QPainter::Antialiasing, false);
        for (int y = cy - r1; y <= cy + r1; ++y) {
            for (int x = cx - r1; x <= cx + r1; ++x) {
                const double dx = x - cx, dy = y - cy;
                const double d = std::sqrt(dx * dx + dy * dy);
                if (d < r0 || d > r1) continue;
                double hue = std::atan2(-dy, dx) / (2 * M_PI);
                if (hue < 0) hue += 1;
                m_p.setPen(QColor::fromHsvF(float(hue), 1.0f, 1.0f));
                m_p.drawPoint(x, y);
            }
        }
        m_p.setRenderHint(QPainter::Antialiasing);
        m_p.setPen(QPen(C("card_border"), 2));
        m_p.setBrush(Qt::NoBrush);
        m_p.drawEllipse(QPointF(cx, cy), r0 - 2, r0 - 2);
        QRadialGradient centre(QPointF(cx, cy), r0 - 4);
        centre.setColorAt(0, QColor(255, 255, 255, 40));
        centre.setColorAt(1, QColor(255, 255, 255, 0));
        m_p.setPen(Qt::NoPen);
        m_p.setBrush(centre);
        m_p.drawEllipse(QPointF(cx, cy), r0 - 4, r0 - 4);
        Glyph(QRect(cx - 14, cy - 14, 28, 28), "drop", C("dim"));
    }

    void Line(int x1, int y1, int x2, int y2)
    {
        QLinearGradient g(x1, y1, x2, y2);
        QColor edge = C("border");
        edge.setAlpha(0);
        g.setColorAt(0, edge);
        g.setColorAt(0.5, C("border"));
        g.setColorAt(1, edge);
        m_p.setPen(QPen(QBrush(g), 1));
        m_p.drawLine(x1, y1, x2, y2);
    }

    // Simple line icons.
    void Glyph(const QRect& r, const QString& name, const QColor& colour)
    {
        m_p.save();
        m_p.setRenderHint(QPainter::Antialiasing);
        const QPointF c = QRectF(r).center();
        const double s = std::min(r.width(), r.height());
        QPen pen(colour, std::max(1.6, s / 12.0), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        m_p.setPen(pen);
        m_p.setBrush(Qt::NoBrush);
        const double h = s * 0.22;
        if (name == "close") {
            m_p.drawLine(c + QPointF(-h, -h), c + QPointF(h, h));
            m_p.drawLine(c + QPointF(-h, h), c + QPointF(h, -h));
        } else if (name == "minimize" || name == "minus") {
            m_p.drawLine(c + QPointF(-h, 0), c + QPointF(h, 0));
        } else if (name == "plus") {
            m_p.drawLine(c + QPointF(-h, 0), c + QPointF(h, 0));
            m_p.drawLine(c + QPointF(0, -h), c + QPointF(0, h));
        } else if (name == "menu") {
            for (int i = -1; i <= 1; ++i) m_p.drawLine(c + QPointF(-h, i * h * 0.8), c + QPointF(h, i * h * 0.8));
        } else if (name == "help") {
            m_p.setFont(Font(int(s * 0.55), QFont::Bold));
            m_p.drawText(r, Qt::AlignCenter, "?");
        } else if (name == "keyboard") {
            const QRectF body(c.x() - s * 0.38, c.y() - s * 0.22, s * 0.76, s * 0.44);
            m_p.drawRoundedRect(body, 2, 2);
            const double step = body.width() / 6;
            for (int row = 0; row < 2; ++row)
                for (int i = 1; i < 6; ++i)
                    m_p.drawPoint(QPointF(body.left() + i * step, body.top() + body.height() * (0.33 + row * 0.3)));
            m_p.drawLine(QPointF(body.left() + step * 1.5, body.bottom() - body.height() * 0.2),
                         QPointF(body.right() - step * 1.5, body.bottom() - body.height() * 0.2));
        } else if (name == "reset") {
            QRectF arc(c.x() - h, c.y() - h, 2 * h, 2 * h);
            m_p.drawArc(arc, 90 * 16, 270 * 16);
            m_p.drawLine(c + QPointF(0, -h), c + QPointF(h * 0.6, -h - h * 0.45));
            m_p.drawLine(c + QPointF(0, -h), c + QPointF(h * 0.6, -h + h * 0.45));
        } else if (name == "note") {
            m_p.drawLine(c + QPointF(h * 0.4, -h * 1.3), c + QPointF(h * 0.4, h * 0.7));
            m_p.drawLine(c + QPointF(h * 0.4, -h * 1.3), c + QPointF(h * 1.3, -h * 0.9));
            m_p.setBrush(colour);
            m_p.drawEllipse(c + QPointF(-h * 0.1, h * 0.8), h * 0.5, h * 0.38);
        } else if (name == "bolt") {
            QPolygonF bolt;
            bolt << c + QPointF(h * 0.3, -h * 1.4) << c + QPointF(-h * 0.7, h * 0.15) << c + QPointF(0, h * 0.15)
                 << c + QPointF(-h * 0.3, h * 1.4) << c + QPointF(h * 0.7, -h * 0.15) << c + QPointF(0, -h * 0.15);
            m_p.drawPolygon(bolt);
        } else if (name == "profile") {
            m_p.drawEllipse(c + QPointF(0, -h * 0.55), h * 0.55, h * 0.55);
            m_p.drawArc(QRectF(c.x() - h, c.y() + h * 0.1, 2 * h, 2 * h), 0, 180 * 16);
        } else if (name == "upload") {
            m_p.drawLine(c + QPointF(0, h), c + QPointF(0, -h));
            m_p.drawLine(c + QPointF(0, -h), c + QPointF(-h * 0.7, -h * 0.3));
            m_p.drawLine(c + QPointF(0, -h), c + QPointF(h * 0.7, -h * 0.3));
            m_p.drawLine(c + QPointF(-h, h * 1.3), c + QPointF(h, h * 1.3));
        } else if (name == "drop") {
            QPainterPath drop;
            drop.moveTo(c + QPointF(0, -h * 1.3));
            drop.cubicTo(c + QPointF(h * 1.2, 0), c + QPointF(h, h * 1.2), c + QPointF(0, h * 1.2));
            drop.cubicTo(c + QPointF(-h, h * 1.2), c + QPointF(-h * 1.2, 0), c + QPointF(0, -h * 1.3));
            m_p.drawPath(drop);
        } else if (name == "swap") {
            m_p.drawLine(c + QPointF(-h, -h * 0.4), c + QPointF(h, -h * 0.4));
            m_p.drawLine(c + QPointF(h, -h * 0.4), c + QPointF(h * 0.5, -h * 0.9));
            m_p.drawLine(c + QPointF(h, h * 0.4), c + QPointF(-h, h * 0.4));
            m_p.drawLine(c + QPointF(-h, h * 0.4), c + QPointF(-h * 0.5, h * 0.9));
        } else if (name == "brush") {
            m_p.drawLine(c + QPointF(h, -h), c + QPointF(-h * 0.2, h * 0.2));
            m_p.setBrush(colour);
            m_p.drawEllipse(c + QPointF(-h * 0.5, h * 0.5), h * 0.45, h * 0.45);
        } else if (name == "fill") {
            QPolygonF bucket;
            bucket << c + QPointF(-h, -h * 0.3) << c + QPointF(0, -h * 1.2) << c + QPointF(h, -h * 0.3)
                   << c + QPointF(0, h * 0.7);
            m_p.drawPolygon(bucket);
            m_p.setBrush(colour);
            m_p.drawEllipse(c + QPointF(h * 1.2, h * 0.6), h * 0.3, h * 0.4);
        } else if (name == "left" || name == "right") {
            const double d = name == "left" ? -1 : 1;
            m_p.drawLine(c + QPointF(-h * 1.2 * d, 0), c + QPointF(h * 1.2 * d, 0));
            m_p.drawLine(c + QPointF(h * 1.2 * d, 0), c + QPointF(h * 0.4 * d, -h * 0.7));
            m_p.drawLine(c + QPointF(h * 1.2 * d, 0), c + QPointF(h * 0.4 * d, h * 0.7));
        } else {
            Fail("unknown glyph " + name);
        }
        m_p.restore();
    }

    // The raised face shared by keycaps and buttons.
    void Face(const QRect& r, Look look, double radius, bool keycap)
    {
        m_p.setRenderHint(QPainter::Antialiasing);
        const QRectF box = QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5);
        QColor top = C("cap_top"), bottom = C("cap_bottom"), edge = C("cap_edge");
        switch (look) {
        case Look::Hover:
            top = top.lighter(130);
            bottom = bottom.lighter(125);
            edge = C("accent");
            break;
        case Look::Pressed:
        case Look::Active:
            top = bottom.darker(125);
            bottom = C("cap_bottom").darker(110);
            edge = C("accent");
            break;
        case Look::Disabled:
            top = C("card").darker(105);
            bottom = C("card").darker(115);
            edge = C("card_border");
            break;
        case Look::Selected:
            top = C("selected_top");
            bottom = C("selected_bottom");
            edge = C("selected_top").lighter(120);
            break;
        case Look::Unmarked:
            top = C("card").lighter(115);
            bottom = C("card");
            edge = C("card_border").lighter(120);
            break;
        default:
            break;
        }
        if (keycap) {
            // Shadow under the cap, then its top face, slightly inset.
            m_p.setPen(Qt::NoPen);
            m_p.setBrush(C("cap_shadow"));
            m_p.drawRoundedRect(box, radius, radius);
        }
        QRectF face = keycap ? box.adjusted(1, 1, -1, look == Look::Pressed ? -1.5 : -3) : box;
        if (keycap && look == Look::Pressed) face.translate(0, 1);
        QLinearGradient g(face.topLeft(), face.bottomLeft());
        g.setColorAt(0, top);
        g.setColorAt(1, bottom);
        const double edgeWidth = (look == Look::Hover || look == Look::Pressed || look == Look::Active) ? 1.5 : 1;
        m_p.setPen(QPen(edge, edgeWidth));
        m_p.setBrush(g);
        m_p.drawRoundedRect(face, radius - 1, radius - 1);
        if (look == Look::Marked) {
            QLinearGradient rainbow(face.topLeft(), face.topRight());
            for (int i = 0; i <= 6; ++i) rainbow.setColorAt(i / 6.0, QColor::fromHsvF(float(i / 6.0 * 0.83), 0.85f, 1));
            m_p.setPen(QPen(QBrush(rainbow), 2));
            m_p.setBrush(Qt::NoBrush);
            m_p.drawRoundedRect(face.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
        }
        if (look == Look::Pressed || look == Look::Active) {
            QColor glow = C("accent");
            glow.setAlpha(60);
            m_p.setPen(Qt::NoPen);
            m_p.setBrush(glow);
            m_p.drawRoundedRect(face.adjusted(2, 2, -2, -2), radius - 2, radius - 2);
        }
        if (look == Look::Active) {
            m_p.setPen(Qt::NoPen);
            m_p.setBrush(C("accent"));
            m_p.drawRoundedRect(QRectF(face.left() + 10, face.bottom() - 3, face.width() - 20, 3), 1.5, 1.5);
        }
    }

    void Legend(const QRectF& face, const QString& legend, const QColor& colour)
    {
        const QStringList lines = legend.split('|');
        m_p.setPen(colour);
        auto restore = [](QString s) { return s.replace(QChar(0x1F), '|'); };
        if (lines.size() == 2) {
            m_p.setFont(Font(10, QFont::DemiBold));
            m_p.drawText(face.adjusted(0, 2, 0, -face.height() / 2), Qt::AlignCenter, restore(lines[0]));
            m_p.setFont(Font(12, QFont::DemiBold));
            m_p.drawText(face.adjusted(0, face.height() / 2 - 3, 0, -1), Qt::AlignCenter, restore(lines[1]));
            return;
        }
        const QString text = restore(lines[0]);
        const bool word = text.size() > 2;
        m_p.setFont(Font(word ? 10 : 13, word ? QFont::Medium : QFont::DemiBold));
        QRectF box = face;
        if (word && face.width() > 55) {
            box.adjust(7, 0, 0, 0); // long modifier caps read from the left, as on a real keyboard
            m_p.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, text);
        } else {
            m_p.drawText(box, Qt::AlignCenter, text);
        }
    }

    void Keycap(const Control& c, Look look, bool macroKey)
    {
        Face(c.rect, look, 5, true);
        QRectF face = QRectF(c.rect).adjusted(1, 1, -1, look == Look::Pressed ? -1.5 : -3);
        if (look == Look::Pressed) face.translate(0, 1);
        QColor legend = look == Look::Pressed ? C("accent") : C("text");
        if (look == Look::Unmarked) legend = C("dim");
        if (macroKey && look != Look::Pressed) legend = C("accent");
        Legend(face, c.label, legend);
        if (look == Look::Assigned) {
            // A lit underglow bar and a dot: this key does something else.
            m_p.setPen(Qt::NoPen);
            QColor bar = C("assigned");
            m_p.setBrush(bar);
            m_p.drawRoundedRect(QRectF(face.left() + 4, face.bottom() - 3, face.width() - 8, 2.5), 1.2, 1.2);
            m_p.drawEllipse(QPointF(face.right() - 5, face.top() + 5), 2.5, 2.5);
            bar.setAlpha(70);
            m_p.setPen(QPen(bar, 1));
            m_p.setBrush(Qt::NoBrush);
            m_p.drawRoundedRect(face, 4, 4);
        }
    }

    void Button(const Control& c, Look look, bool labelled, const QColor& tint = QColor())
    {
        Face(c.rect, look, 6, false);
        if (tint.isValid() && look != Look::Disabled) {
            QColor t = tint;
            t.setAlpha(look == Look::Plain ? 70 : 120);
            m_p.setPen(Qt::NoPen);
            m_p.setBrush(t);
            m_p.drawRoundedRect(QRectF(c.rect).adjusted(2, 2, -2, -2), 4, 4);
            m_p.setBrush(tint);
            m_p.drawEllipse(QPointF(c.rect.left() + 16, c.rect.center().y() + 0.5), 4, 4);
        }
        if (!labelled || c.label.isEmpty()) return;
        QColor colour = look == Look::Disabled ? C("dim").darker(140) : C("text");
        if (look == Look::Pressed) colour = C("accent");
        m_p.setPen(colour);
        m_p.setFont(Font(12, QFont::DemiBold));
        m_p.drawText(QRectF(c.rect).translated(0, look == Look::Pressed ? 1 : 0), Qt::AlignCenter, c.label);
    }

    void Icon(const Control& c, Look look, bool danger)
    {
        m_p.setRenderHint(QPainter::Antialiasing);
        if (look == Look::Hover || look == Look::Pressed) {
            QColor back = danger ? C("danger") : C("cap_top").lighter(look == Look::Hover ? 120 : 90);
            if (danger && look == Look::Pressed) back = back.darker(130);
            m_p.setPen(Qt::NoPen);
            m_p.setBrush(back);
            m_p.drawRoundedRect(QRectF(c.rect).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        }
        QColor colour = look == Look::Plain ? C("dim") : C("text");
        if (look == Look::Pressed && !danger) colour = C("accent");
        if (look == Look::Disabled) colour = C("dim").darker(170);
        Glyph(c.rect, c.label, colour);
    }

    void Lock(const Control& c, Look look, bool bank)
    {
        m_p.setRenderHint(QPainter::Antialiasing);
        m_p.setPen(QPen(C("card_border"), 1));
        m_p.setBrush(C("card").darker(115));
        m_p.drawRoundedRect(QRectF(c.rect).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
        const bool lit = look == Look::Lit;
        if (bank) {
            // Bank A while dark, bank B while lit.
            m_p.setFont(Font(9, QFont::DemiBold));
            m_p.setPen(C("dim"));
            m_p.drawText(QRectF(c.rect.left(), c.rect.top() + 2, c.rect.width(), 12), Qt::AlignCenter, "BANK");
            const QRectF a(c.rect.left() + 10, c.rect.top() + 14, 24, 14), b(c.rect.right() - 33, c.rect.top() + 14,
                                                                             24, 14);
            m_p.setPen(Qt::NoPen);
            m_p.setBrush(lit ? C("card") : C("accent"));
            m_p.drawRoundedRect(a, 4, 4);
            m_p.setBrush(lit ? C("accent2") : C("card"));
            m_p.drawRoundedRect(b, 4, 4);
            m_p.setFont(Font(10, QFont::Bold));
            m_p.setPen(lit ? C("dim") : C("window_bottom"));
            m_p.drawText(a, Qt::AlignCenter, "A");
            m_p.setPen(lit ? C("window_bottom") : C("dim"));
            m_p.drawText(b, Qt::AlignCenter, "B");
            return;
        }
        const QPointF led(c.rect.center().x() + 0.5, c.rect.top() + 10);
        if (lit) {
            QRadialGradient glow(led, 9);
            QColor a = C("accent");
            glow.setColorAt(0, a);
            a.setAlpha(0);
            glow.setColorAt(1, a);
            m_p.setPen(Qt::NoPen);
            m_p.setBrush(glow);
            m_p.drawEllipse(led, 9, 9);
        }
        m_p.setPen(Qt::NoPen);
        m_p.setBrush(lit ? C("accent").lighter(130) : C("cap_edge"));
        m_p.drawEllipse(led, 3.5, 3.5);
        m_p.setFont(Font(8, QFont::DemiBold));
        m_p.setPen(lit ? C("text") : C("dim"));
        m_p.drawText(QRectF(c.rect.left(), c.rect.top() + 16, c.rect.width(), 13), Qt::AlignCenter, c.label);
    }

    void Link(const Control& c, Look look)
    {
        if (look == Look::Plain) return;
        m_p.setRenderHint(QPainter::Antialiasing);
        QColor back = C("accent");
        back.setAlpha(look == Look::Hover ? 40 : 90);
        m_p.setPen(Qt::NoPen);
        m_p.setBrush(back);
        m_p.drawRoundedRect(QRectF(c.rect), 5, 5);
        m_p.setPen(QPen(C("accent"), 1));
        m_p.drawLine(c.rect.left() + 4, c.rect.bottom() - 1, c.rect.right() - 4, c.rect.bottom() - 1);
    }

    void Flip(const Control& c, Look look, bool plate)
    {
        m_p.setRenderHint(QPainter::Antialiasing);
        if (plate) {
            m_p.setPen(QPen(C("card_border").lighter(130), 1, Qt::DashLine));
            m_p.setBrush(C("card").darker(110));
            m_p.drawRoundedRect(QRectF(c.rect).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
            m_p.setFont(Font(10, QFont::DemiBold));
            m_p.setPen(C("dim"));
            m_p.drawText(c.rect, Qt::AlignCenter, "LAYOUT  " + c.label);
            return;
        }
        Face(c.rect, look, 4, false);
        Glyph(c.rect.adjusted(-2, 0, 2, 0), "swap", look == Look::Plain ? C("dim") : C("accent"));
    }

    void Tab(const Control& c, Look look)
    {
        Face(c.rect, look, 7, false);
    }

    void Title(const Control& c, Look look)
    {
        const QColor colour = look == Look::Disabled ? C("dim").darker(150) : C("text");
        Glyph(QRect(c.rect.left() + 2, c.rect.top() + 3, 24, 24), "keyboard",
              look == Look::Disabled ? colour : C("accent"));
        Text(c.rect.left() + 34, c.rect.top() + 21, 16, colour, c.label);
    }

    void Field(const QRect& r)
    {
        m_p.setRenderHint(QPainter::Antialiasing);
        m_p.setPen(QPen(C("card_border").lighter(120), 1));
        m_p.setBrush(C("window_bottom"));
        m_p.drawRoundedRect(QRectF(r).adjusted(-1.5, -1.5, 1.5, 1.5), 4, 4);
    }

    void Swatch(const QRect& r, const QColor& colour)
    {
        m_p.setRenderHint(QPainter::Antialiasing);
        m_p.setPen(QPen(C("card_border").lighter(140), 1));
        m_p.setBrush(colour);
        m_p.drawRoundedRect(QRectF(r).adjusted(-1.5, -1.5, 1.5, 1.5), 4, 4);
    }

    void DrawControl(const ::Control& c, Look look)
    {
        m_p.save();
        const QString& k = c.kind;
        if (k == "key" || k == "gkey") {
            Keycap(c, look, k == "gkey");
        } else if (k == "text") {
            Button(c, look, false);
        } else if (k == "button") {
            Button(c, look, true);
        } else if (k == "record") {
            Button(c, look, false, C("danger"));
        } else if (k == "select") {
            Button(c, look, true);
        } else if (k == "icon" || k == "close") {
            Icon(c, look, k == "close");
        } else if (k == "lock" || k == "bank") {
            Lock(c, look, k == "bank");
        } else if (k == "link") {
            Link(c, look);
        } else if (k == "flipbar" || k == "flip") {
            Flip(c, look, k == "flipbar");
        } else if (k == "tab") {
            Tab(c, look);
        } else if (k == "title") {
            Title(c, look);
        } else if (k == "field") {
            Field(c.rect);
        } else if (k == "swatch") {
            Swatch(c.rect, m_layout.Colour(c.label));
        } else if (k != "label" && k != "slider" && k != "arrow" && k != "mask" && k != "none") {
            Fail("unknown kind " + k + " of " + c.key);
        }
        m_p.restore();
    }

    void DrawDeco(const ::Deco& d)
    {
        const QStringList& a = d.args;
        const QString where = "deco " + a.join(' ');
        auto n = [&](int i) { return ToInt(a.value(i), where); };
        const QString type = a.value(0);
        m_p.save();
        m_p.setRenderHint(QPainter::Antialiasing);
        if (type == "card") {
            Card(QRect(n(1), n(2), n(3), n(4)));
        } else if (type == "text") {
            Text(n(1), n(2), n(3), m_layout.Colour(a.value(4)), a.mid(5).join(' '));
        } else if (type == "ring") {
            Ring(n(1), n(2), n(3), n(4));
        } else if (type == "swatch") {
            Swatch(QRect(n(1), n(2), n(3), n(4)), m_layout.Colour(a.value(5)));
        } else if (type == "line") {
            Line(n(1), n(2), n(3), n(4));
        } else if (type == "glyph") {
            Glyph(QRect(n(1), n(2), n(3), n(4)), a.value(5), m_layout.Colour(a.value(6)));
        } else {
            Fail("unknown " + where);
        }
        m_p.restore();
    }

private:
    const Layout& m_layout;
    QPainter& m_p;
};

// The whole dialog with every control in the look of `state`.
QImage RenderDialog(const Layout& layout, const Dialog& d, const Picture& picture)
{
    QImage image(d.size, QImage::Format_RGB32);
    image.fill(layout.Colour("window_bottom"));
    QPainter p(&image);
    Painter painter(layout, p);
    painter.Window(d);
    for (const Deco& deco : d.decos)
        if (deco.pane.isEmpty() || deco.pane == picture.pane) painter.DrawDeco(deco);
    for (const Control& c : d.controls) {
        if (!c.pane.isEmpty() && c.pane != picture.pane) continue;
        const Look look = picture.disabled.contains(c.key) ? Look::Disabled : LookOf(c.kind, picture.state);
        painter.DrawControl(c, look);
    }
    return image;
}

// Buttons copy their face from one pixel left of and above their place, so
// each state picture is the dialog drawn one pixel up and to the left.
QImage ShiftForButtons(const QImage& dialog, const QColor& fill)
{
    QImage shifted(dialog.size(), QImage::Format_RGB32);
    shifted.fill(fill);
    QPainter p(&shifted);
    p.drawImage(QPoint(-1, -1), dialog);
    return shifted;
}

QImage RenderMask(const Dialog& d)
{
    QImage mask(d.size, QImage::Format_RGB32);
    mask.fill(Qt::white);
    QPainter p(&mask);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(0, 0, d.size.width(), d.size.height()), d.radius, d.radius);
    p.drawPath(outline);
    return mask;
}

QImage RenderArrows(const Layout& layout, const Dialog& d)
{
    QImage image(d.arrowSize, QImage::Format_RGB32);
    image.fill(layout.Colour(d.arrowBackground));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    for (const ArrowCell& cell : d.arrows) {
        const QPointF c = QRectF(cell.rect).center();
        const double w = cell.rect.width() * 0.32, h = cell.rect.height() * 0.26;
        const double dir = cell.up ? -1 : 1;
        QPolygonF head;
        head << c + QPointF(-w, -dir * h * 0.2) << c + QPointF(w, -dir * h * 0.2) << c + QPointF(0, dir * h);
        p.setPen(Qt::NoPen);
        p.setBrush(layout.Colour(cell.colour));
        p.drawPolygon(head);
        p.setPen(QPen(layout.Colour(cell.colour), 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(c + QPointF(0, -dir * h * 1.1), c + QPointF(0, -dir * h * 0.1));
    }
    return image;
}

// The plain pictures of the lighting panel.
QImage RenderBitmap(const Layout& layout, const Dialog& d, const Bitmap& b)
{
    const Control* control = d.Find(b.control);
    const QSize size = control->rect.size();
    QImage image(size, QImage::Format_RGB32);
    image.fill(layout.Colour("card"));
    QPainter p(&image);
    Painter painter(layout, p);
    p.setRenderHint(QPainter::Antialiasing);
    const QString style = b.args.value(0);
    const QString where = "bitmap " + b.file;
    const QRectF full(0.5, 0.5, size.width() - 1, size.height() - 1);
    auto on = [&](int i) { return ToInt(b.args.value(i), where) != 0; };
    if (style == "switch") {
        const bool isOn = on(1);
        const QRectF track = full.adjusted(2, 3, -2, -3);
        if (isOn) {
            QLinearGradient g(track.topLeft(), track.topRight());
            g.setColorAt(0, layout.Colour("accent"));
            g.setColorAt(1, layout.Colour("selected_bottom"));
            p.setBrush(g);
        } else {
            p.setBrush(layout.Colour("cap_bottom"));
        }
        p.setPen(QPen(isOn ? layout.Colour("accent") : layout.Colour("cap_edge"), 1));
        p.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        const double r = track.height() / 2 - 2.5;
        const QPointF knob(isOn ? track.right() - r - 3 : track.left() + r + 3, track.center().y());
        p.setPen(Qt::NoPen);
        p.setBrush(isOn ? QColor(Qt::white) : layout.Colour("dim"));
        p.drawEllipse(knob, r, r);
    } else if (style == "direction" || style == "tool") {
        const bool down = on(2);
        ::Control c{QString(), QRect(QPoint(0, 0), size), QString(), QString(), QString()};
        painter.Face(c.rect, down ? Look::Selected : Look::Plain, 6, false);
        painter.Glyph(QRect(0, 0, size.width(), size.height()).adjusted(12, 0, -12, 0), b.args.value(1),
                      down ? QColor(Qt::white) : layout.Colour("dim"));
    } else if (style == "toggle") {
        const bool isOn = on(1);
        const QRectF box = full.adjusted(1, 1, -1, -1);
        if (isOn) {
            QLinearGradient rainbow(box.topLeft(), box.topRight());
            for (int i = 0; i <= 6; ++i)
                rainbow.setColorAt(i / 6.0, QColor::fromHsvF(float(i / 6.0 * 0.83), 0.75f, 1));
            p.setPen(Qt::NoPen);
            p.setBrush(rainbow);
            p.drawRoundedRect(box, box.height() / 2, box.height() / 2);
            p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            const QPointF c = box.center();
            QPolygonF tick;
            tick << c + QPointF(-5, 0) << c + QPointF(-1.5, 3.5) << c + QPointF(5, -4);
            p.drawPolyline(tick);
        } else {
            p.setPen(QPen(layout.Colour("cap_edge"), 1.2));
            p.setBrush(layout.Colour("cap_bottom"));
            p.drawRoundedRect(box, box.height() / 2, box.height() / 2);
            p.setPen(Qt::NoPen);
            p.setBrush(layout.Colour("dim"));
            p.drawEllipse(box.center(), 2.5, 2.5);
        }
    } else if (style == "slider") {
        const int pos = ToInt(b.args.value(1), where), max = ToInt(b.args.value(2), where);
        const bool speed = b.args.value(3) == "speed";
        const double r = size.height() / 2.0 - 3;
        const QRectF track(r, size.height() / 2.0 - 3, size.width() - 2 * r, 6);
        p.setPen(Qt::NoPen);
        p.setBrush(layout.Colour("cap_bottom"));
        p.drawRoundedRect(track, 3, 3);
        // The knob sits where the slider maps the position: pos / max of the width.
        const double x = std::clamp(double(pos) / max * size.width(), r + 1, size.width() - r - 1);
        QLinearGradient g(track.topLeft(), track.topRight());
        g.setColorAt(0, speed ? layout.Colour("accent2") : layout.Colour("selected_bottom"));
        g.setColorAt(1, speed ? layout.Colour("accent") : layout.Colour("accent"));
        p.setBrush(g);
        p.drawRoundedRect(QRectF(track.left(), track.top(), x - track.left(), track.height()), 3, 3);
        for (int i = 0; i <= max && max <= 4; ++i) {
            const double tx = std::clamp(double(i) / max * size.width(), r + 1, size.width() - r - 1);
            p.setBrush(i <= pos ? QColor(255, 255, 255, 160) : layout.Colour("cap_edge"));
            p.drawEllipse(QPointF(tx, size.height() / 2.0), 1.5, 1.5);
        }
        p.setBrush(Qt::white);
        p.setPen(QPen(speed ? layout.Colour("accent2") : layout.Colour("accent"), 2));
        p.drawEllipse(QPointF(x, size.height() / 2.0), r, r);
    } else if (style == "progress") {
        const int frame = ToInt(b.args.value(1), where), frames = ToInt(b.args.value(2), where);
        const QRectF track = full;
        p.setPen(Qt::NoPen);
        p.setBrush(layout.Colour("cap_bottom"));
        p.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        // A bright band runs across and wraps round: frame after frame it seems to move.
        QPainterPath clip;
        clip.addRoundedRect(track, track.height() / 2, track.height() / 2);
        p.setClipPath(clip);
        const double band = size.width() * 0.4;
        const double start = double(frame + 1) / (frames + 1) * (size.width() + band) - band;
        for (double offset : {start, start - size.width() - band}) {
            QLinearGradient g(offset, 0, offset + band, 0);
            QColor a = layout.Colour("accent"), m = layout.Colour("accent2");
            QColor clear = a;
            clear.setAlpha(0);
            g.setColorAt(0, clear);
            g.setColorAt(0.5, a);
            g.setColorAt(0.85, m);
            m.setAlpha(0);
            g.setColorAt(1, m);
            p.setBrush(g);
            p.drawRect(QRectF(offset, 0, band, size.height()));
        }
    } else {
        Fail("unknown bitmap style " + style);
    }
    return image;
}

// ---------------------------------------------------------------------------
// Output

void Save(const QImage& image, const QString& path)
{
    const bool jpeg = path.endsWith(".jpg", Qt::CaseInsensitive);
    QImage out = image.convertToFormat(jpeg ? QImage::Format_RGB32 : QImage::Format_RGB888);
    if (!out.save(path, nullptr, jpeg ? 95 : -1)) Fail("cannot write " + path);
}

QString ReadText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) Fail("cannot open " + path);
    return QString::fromUtf8(file.readAll());
}

void WriteText(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) Fail("cannot write " + path);
    file.write(text.toUtf8());
}

QString Rect(const QRect& r)
{
    return QString("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

QString IniText(const Dialog& d, const QString& sourceDir, const QString& layoutName)
{
    QString text;
    text += "; The default skin of the " + d.name + " dialog, written by skingen from " + layoutName +
            ".\n; Edit the layout (or the hand-written sections) and rebuild rather than this file.\n\n";
    text += "[SCREEN]\nMain=" + d.background + "\nMask=" + d.mask + "\n";
    if (!d.link.isEmpty()) text += "Link=" + d.link + "\n";
    text += "\n";
    if (!d.templateFile.isEmpty()) {
        QString sections = ReadText(sourceDir + "/" + d.templateFile);
        if (!sections.endsWith('\n')) sections += '\n';
        text += sections + "\n";
    }
    text += "[BUTTONINFO]\n";
    for (const Control& c : d.controls) text += c.key + "=" + Rect(c.rect) + "\n";
    if (!d.arrows.empty()) {
        // An arrow button copies its face from one pixel left of and above
        // the offset, like every image button.
        text += "\n[BUTTONINFO2]\n";
        for (const ArrowCell& a : d.arrows) text += a.key + "=" + Rect(a.rect.translated(1, 1)) + "\n";
    }
    return text;
}

QImage Outlined(const QImage& picture, const Dialog& d)
{
    QImage out = picture.convertToFormat(QImage::Format_RGB32);
    QPainter p(&out);
    QFont font("DejaVu Sans");
    font.setPixelSize(8);
    p.setFont(font);
    for (const Control& c : d.controls) {
        const bool image = c.kind != "label" && c.kind != "field" && c.kind != "none" && c.kind != "slider" &&
                           c.kind != "swatch";
        p.setPen(image ? QColor(255, 70, 70) : QColor(255, 220, 40));
        p.setBrush(Qt::NoBrush);
        p.drawRect(c.rect.adjusted(0, 0, -1, -1));
        QString name = c.key;
        name.remove("CONTROL_").remove("FUNC_");
        p.drawText(c.rect.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop, name);
    }
    return out;
}

void Generate(const Layout& layout, const QString& layoutName, const QString& sourceDir, const QString& outDir,
              const QString& reviewDir)
{
    if (!QDir().mkpath(outDir)) Fail("cannot make " + outDir);
    if (!reviewDir.isEmpty() && !QDir().mkpath(reviewDir)) Fail("cannot make " + reviewDir);
    auto review = [&](const QImage& image, const QString& name) {
        if (!reviewDir.isEmpty()) Save(image, reviewDir + "/" + name + ".png");
    };
    for (const Dialog& d : layout.dialogs) {
        if (d.pictures.empty()) Fail("dialog " + d.name + " has no pictures");
        WriteText(outDir + "/" + d.ini, IniText(d, sourceDir, layoutName));
        const QColor fill = layout.Colour("window_bottom");
        const QImage background = RenderDialog(layout, d, d.pictures.front());
        Save(background, outDir + "/" + d.background);
        review(Outlined(background, d), d.name + "_placements");
        Save(RenderMask(d), outDir + "/" + d.mask);
        for (const Picture& picture : d.pictures) {
            const QImage dialog = RenderDialog(layout, d, picture);
            Save(ShiftForButtons(dialog, fill), outDir + "/" + picture.file);
            review(dialog, QFileInfo(picture.file).completeBaseName());
        }
        if (!d.arrowFile.isEmpty()) {
            const QImage arrows = RenderArrows(layout, d);
            Save(arrows, outDir + "/" + d.arrowFile);
            review(arrows.scaled(arrows.size() * 4), "Arrow");
        }
        // Every plain picture on one sheet, twice its size, with its name.
        const int columns = 4, cellW = 300, cellH = 70;
        const int rows = int((d.bitmaps.size() + columns - 1) / columns);
        QImage sheet(columns * cellW, std::max(rows, 1) * cellH, QImage::Format_RGB32);
        sheet.fill(QColor(40, 40, 40));
        QPainter sheetPainter(&sheet);
        sheetPainter.setPen(Qt::white);
        for (std::size_t i = 0; i < d.bitmaps.size(); ++i) {
            const Bitmap& b = d.bitmaps[i];
            const QImage bitmap = RenderBitmap(layout, d, b);
            Save(bitmap, outDir + "/" + b.file);
            const QPoint at(int(i % columns) * cellW + 8, int(i / columns) * cellH + 6);
            sheetPainter.drawText(at + QPoint(0, 10), b.file);
            sheetPainter.drawImage(at + QPoint(0, 16), bitmap.scaled(bitmap.size() * 2));
        }
        sheetPainter.end();
        if (!d.bitmaps.empty()) review(sheet, d.name + "_bitmaps");
    }
}


// ---------------------------------------------------------------------------
// Icons: the tray's three state icons and the program's icon in the sizes
// desktops look for. One drawing, a keyboard seen from above on a 64-unit
// grid, scaled to any size: lit keys while a keyboard is attached (141 and
// the program icon), grey keys while none is (128), and a red dot while
// the keyboard records a macro on its own (142).

enum class IconLook { NoKeyboard, Attached, Recording };

QImage RenderIcon(IconLook look, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x20, 0x24, 0x2c));
    p.drawRoundedRect(QRectF(4, 16, 56, 32), 5, 5);
    const bool lit = look != IconLook::NoKeyboard;
    const QColor rows[2] = {lit ? QColor(0x4f, 0xc3, 0xf7) : QColor(0x8a, 0x8f, 0x98),
                            lit ? QColor(0xba, 0x68, 0xc8) : QColor(0x6c, 0x71, 0x7a)};
    for (int row = 0; row < 2; ++row) {
        p.setBrush(rows[row]);
        for (int column = 0; column < 5; ++column)
            p.drawRoundedRect(QRectF(9 + 10 * column, 21 + 9 * row, column == 4 ? 6 : 7, 6), 1, 1);
    }
    p.setBrush(lit ? QColor(0xff, 0xb7, 0x4d) : QColor(0x9a, 0x9f, 0xa8));
    p.drawRoundedRect(QRectF(17, 39, 30, 5), 1, 1);
    if (look == IconLook::Recording) {
        p.setBrush(QColor(0xf4, 0x43, 0x36));
        p.setPen(QPen(Qt::white, 2));
        p.drawEllipse(QPointF(50, 14), 10, 10);
    }
    p.end();
    return image;
}

void GenerateIcons(const QString& skinDir, const QString& iconDir)
{
    const std::pair<int, IconLook> tray[] = {
        {128, IconLook::NoKeyboard}, {141, IconLook::Attached}, {142, IconLook::Recording}};
    for (const auto& [id, look] : tray) Save(RenderIcon(look, 64), skinDir + QString("/tray%1.png").arg(id));
    if (iconDir.isEmpty()) return;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString dir = iconDir + QString("/%1x%1/apps").arg(size);
        if (!QDir().mkpath(dir)) Fail("cannot make " + dir);
        Save(RenderIcon(IconLook::Attached, size), dir + "/com.kestrune.Kestrune.png");
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Text needs a GUI application; no display is needed to draw into images.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString reviewDir, iconDir;
    bool usage = args.size() < 4;
    for (qsizetype i = 4; i < args.size() && !usage; i += 2) {
        if (i + 1 >= args.size())
            usage = true;
        else if (args[i] == "--review")
            reviewDir = args[i + 1];
        else if (args[i] == "--icons")
            iconDir = args[i + 1];
        else
            usage = true;
    }
    if (usage) {
        std::fprintf(stderr, "usage: skingen LAYOUT SOURCE_DIR OUTPUT_DIR [--review REVIEW_DIR] [--icons ICON_DIR]\n");
        return 2;
    }
    try {
        const Layout layout = ReadLayout(args[1]);
        Generate(layout, QFileInfo(args[1]).fileName(), args[2], args[3], reviewDir);
        GenerateIcons(args[3], iconDir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "skingen: %s\n", e.what());
        return 1;
    }
    return 0;
}

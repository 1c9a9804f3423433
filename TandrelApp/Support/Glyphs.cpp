#include "TandrelApp/Support/Glyphs.h"

#include <algorithm>
#include <array>
#include <cmath>

#include <QCache>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include "TandrelApp/Support/Theme.h"

namespace Glyphs {

namespace {

// Every symbol is drawn in a 20 x 20 design square; the picture scales it to the size asked for.
constexpr double kDesign = 20.0;

// Drawing helpers in design units. Strokes have round ends and joins, like the system's symbols.
void stroke(QPainter& p, const QColor& color, double width) {
    p.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
}
void fill(QPainter& p, const QColor& color) {
    p.setPen(Qt::NoPen);
    p.setBrush(color);
}
// What is painted next is cut out of what is there (the white parts of a filled symbol).
void knockout(QPainter& p) {
    p.setCompositionMode(QPainter::CompositionMode_Clear);
}
void paintOver(QPainter& p) {
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}
void line(QPainter& p, double x1, double y1, double x2, double y2) {
    p.drawLine(QPointF(x1, y1), QPointF(x2, y2));
}
void circle(QPainter& p, double cx, double cy, double r) {
    p.drawEllipse(QPointF(cx, cy), r, r);
}
void polyline(QPainter& p, std::initializer_list<QPointF> points) {
    QPainterPath path;
    for (auto point = points.begin(); point != points.end(); ++point) {
        if (point == points.begin()) {
            path.moveTo(*point);
        } else {
            path.lineTo(*point);
        }
    }
    p.drawPath(path);
}

// ---- Speakers: one body, so that a speaker keeps its place as its waves change.

QPainterPath speakerBody() {
    QPainterPath body;
    body.moveTo(2.5, 7.3);
    body.lineTo(5.6, 7.3);
    body.lineTo(9.8, 3.6);
    body.lineTo(9.8, 16.4);
    body.lineTo(5.6, 12.7);
    body.lineTo(2.5, 12.7);
    body.closeSubpath();
    return body;
}
void speakerSolid(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawPath(speakerBody());
    stroke(p, c, 1.0); // rounds the body's corners
    p.drawPath(speakerBody());
}
void wave(QPainter& p, const QColor& c, double radius, double halfAngle) {
    stroke(p, c, 1.5);
    const QRectF box(9.8 - radius, 10 - radius, 2 * radius, 2 * radius);
    p.drawArc(box, static_cast<int>(-halfAngle * 16), static_cast<int>(2 * halfAngle * 16));
}
void speakerFill(QPainter& p, const QColor& c) {
    speakerSolid(p, c);
}
void speakerWave1Fill(QPainter& p, const QColor& c) {
    speakerSolid(p, c);
    wave(p, c, 3.6, 50);
}
void speakerWave2Fill(QPainter& p, const QColor& c) {
    speakerWave1Fill(p, c);
    wave(p, c, 7.0, 55);
}
void speakerWave2(QPainter& p, const QColor& c) {
    stroke(p, c, 1.3);
    p.drawPath(speakerBody());
    wave(p, c, 3.6, 50);
    wave(p, c, 7.0, 55);
}
void speakerSlashFill(QPainter& p, const QColor& c) {
    speakerSolid(p, c);
    wave(p, c, 3.6, 50);
    knockout(p);
    stroke(p, c, 3.4);
    line(p, 3.2, 2.6, 16.4, 17.4);
    paintOver(p);
    stroke(p, c, 1.5);
    line(p, 3.2, 2.6, 16.4, 17.4);
}

// ---- Signs

void exclamationmarkTriangleFill(QPainter& p, const QColor& c) {
    QPainterPath triangle;
    triangle.moveTo(10, 2.6);
    triangle.lineTo(18.2, 16.8);
    triangle.lineTo(1.8, 16.8);
    triangle.closeSubpath();
    fill(p, c);
    p.drawPath(triangle);
    stroke(p, c, 2.2);
    p.drawPath(triangle);
    knockout(p);
    stroke(p, c, 1.8);
    line(p, 10, 7.4, 10, 11.6);
    fill(p, c);
    circle(p, 10, 14.3, 1.1);
    paintOver(p);
}
void infoCircle(QPainter& p, const QColor& c) {
    stroke(p, c, 1.4);
    circle(p, 10, 10, 8);
    fill(p, c);
    circle(p, 10, 6.4, 1.1);
    stroke(p, c, 1.7);
    line(p, 10, 9.2, 10, 14.2);
}
void nosign(QPainter& p, const QColor& c) {
    stroke(p, c, 1.6);
    circle(p, 10, 10, 7.8);
    line(p, 4.5, 4.5, 15.5, 15.5);
}

// ---- Audio

void waveformPath(QPainter& p, const QColor& c) {
    stroke(p, c, 1.5);
    polyline(p, {{1.5, 10},
                 {3.4, 10},
                 {4.9, 7.2},
                 {6.4, 12.8},
                 {8.0, 3.8},
                 {10.0, 16.4},
                 {12.0, 3.4},
                 {13.6, 14.0},
                 {15.1, 6.8},
                 {16.5, 11.6},
                 {17.4, 10},
                 {18.5, 10}});
}
void sliderVertical3(QPainter& p, const QColor& c) {
    stroke(p, c, 1.3);
    for (double x : {4.0, 10.0, 16.0}) {
        line(p, x, 2.5, x, 17.5);
    }
    fill(p, c);
    for (auto [x, y] : std::array<std::pair<double, double>, 3>{{{4.0, 13.0}, {10.0, 6.2}, {16.0, 10.8}}}) {
        p.drawRoundedRect(QRectF(x - 2.6, y - 1.5, 5.2, 3.0), 1.0, 1.0);
    }
}
void mic(QPainter& p, const QColor& c) {
    stroke(p, c, 1.4);
    p.drawRoundedRect(QRectF(7.0, 2.0, 6.0, 10.2), 3.0, 3.0);
    p.drawArc(QRectF(4.2, 3.8, 11.6, 11.0), 180 * 16, 180 * 16);
    line(p, 10, 14.8, 10, 17.6);
    line(p, 7.0, 17.6, 13.0, 17.6);
}
void recordCircle(QPainter& p, const QColor& c) {
    stroke(p, c, 1.4);
    circle(p, 10, 10, 8);
    fill(p, c);
    circle(p, 10, 10, 4.6);
}
void stopCircleFill(QPainter& p, const QColor& c) {
    fill(p, c);
    circle(p, 10, 10, 8.6);
    knockout(p);
    p.drawRoundedRect(QRectF(6.8, 6.8, 6.4, 6.4), 1.2, 1.2);
    paintOver(p);
}

// ---- Editing

void minus(QPainter& p, const QColor& c) {
    stroke(p, c, 1.8);
    line(p, 4, 10, 16, 10);
}
void plus(QPainter& p, const QColor& c) {
    minus(p, c);
    line(p, 10, 4, 10, 16);
}
void minusCircle(QPainter& p, const QColor& c) {
    stroke(p, c, 1.4);
    circle(p, 10, 10, 8);
    stroke(p, c, 1.6);
    line(p, 6, 10, 14, 10);
}
void plusCircle(QPainter& p, const QColor& c) {
    minusCircle(p, c);
    line(p, 10, 6, 10, 14);
}
void chevronDown(QPainter& p, const QColor& c) {
    stroke(p, c, 1.8);
    polyline(p, {{5, 7.5}, {10, 12.5}, {15, 7.5}});
}
void chevronRight(QPainter& p, const QColor& c) {
    stroke(p, c, 1.8);
    polyline(p, {{7.5, 5}, {12.5, 10}, {7.5, 15}});
}
void arrowDownCircleFill(QPainter& p, const QColor& c) {
    fill(p, c);
    circle(p, 10, 10, 8.6);
    knockout(p);
    stroke(p, c, 1.8);
    line(p, 10, 5.4, 10, 14.0);
    polyline(p, {{6.4, 10.6}, {10, 14.2}, {13.6, 10.6}});
    paintOver(p);
}

// ---- Applications and windows

void app(QPainter& p, const QColor& c) {
    stroke(p, c, 1.4);
    p.drawRoundedRect(QRectF(2.7, 2.7, 14.6, 14.6), 4.0, 4.0);
}
void appDashed(QPainter& p, const QColor& c) {
    QPen pen(c, 1.4, Qt::CustomDashLine, Qt::RoundCap, Qt::RoundJoin);
    pen.setDashPattern({1.6, 1.8});
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(2.7, 2.7, 14.6, 14.6), 4.0, 4.0);
}
void macwindowOnRectangle(QPainter& p, const QColor& c) {
    stroke(p, c, 1.3);
    p.drawRoundedRect(QRectF(6.0, 2.6, 11.6, 9.0), 1.6, 1.6);
    const QRectF front(2.4, 7.4, 11.6, 10.0);
    knockout(p);
    fill(p, c);
    p.drawRoundedRect(front.adjusted(-1.0, -1.0, 1.0, 1.0), 2.2, 2.2);
    paintOver(p);
    stroke(p, c, 1.3);
    p.drawRoundedRect(front, 1.6, 1.6);
    line(p, 2.4, 10.0, 14.0, 10.0);
}
void gearshape(QPainter& p, const QColor& c) {
    constexpr int kTeeth = 8;
    constexpr double kOuter = 8.4;
    constexpr double kInner = 6.6;
    QPainterPath gear;
    for (int step = 0; step < kTeeth * 4; ++step) {
        // Each tooth: rise, top, fall, gap, a quarter of its angle each.
        const double angle = (step - 0.5) * M_PI * 2 / (kTeeth * 4);
        const double radius = (step % 4 == 1 || step % 4 == 2) ? kOuter : kInner;
        const QPointF point(10 + radius * std::cos(angle), 10 + radius * std::sin(angle));
        if (step == 0) {
            gear.moveTo(point);
        } else {
            gear.lineTo(point);
        }
    }
    gear.closeSubpath();
    stroke(p, c, 1.3);
    p.drawPath(gear);
    circle(p, 10, 10, 2.8);
}

// ---- Links

void linkShape(QPainter& p, const QColor& c, double scale) {
    p.save();
    p.translate(10 * scale, 10 * scale);
    p.scale(scale, scale);
    p.rotate(-45);
    stroke(p, c, 1.6);
    p.drawRoundedRect(QRectF(-8.2, -2.6, 9.4, 5.2), 2.6, 2.6);
    p.drawRoundedRect(QRectF(-1.2, -2.6, 9.4, 5.2), 2.6, 2.6);
    p.restore();
}
void link(QPainter& p, const QColor& c) {
    linkShape(p, c, 1.0);
}
void linkBadgePlus(QPainter& p, const QColor& c) {
    linkShape(p, c, 0.82);
    knockout(p);
    fill(p, c);
    circle(p, 15.0, 15.0, 4.6);
    paintOver(p);
    stroke(p, c, 1.6);
    line(p, 12.2, 15.0, 17.8, 15.0);
    line(p, 15.0, 12.2, 15.0, 17.8);
}

using Painter = void (*)(QPainter&, const QColor&);

struct Entry {
    std::string_view name;
    Painter paint;
};

// Every symbol the windows name. Keep it one table: a new symbol is one line here.
constexpr std::array kTable{
    Entry{"speaker.fill", speakerFill},
    Entry{"speaker.wave.1.fill", speakerWave1Fill},
    Entry{"speaker.wave.2.fill", speakerWave2Fill},
    Entry{"speaker.wave.2", speakerWave2},
    Entry{"speaker.slash.fill", speakerSlashFill},
    Entry{"exclamationmark.triangle.fill", exclamationmarkTriangleFill},
    Entry{"info.circle", infoCircle},
    Entry{"nosign", nosign},
    Entry{"waveform.path", waveformPath},
    Entry{"slider.vertical.3", sliderVertical3},
    Entry{"mic", mic},
    Entry{"record.circle", recordCircle},
    Entry{"stop.circle.fill", stopCircleFill},
    Entry{"minus", minus},
    Entry{"plus", plus},
    Entry{"minus.circle", minusCircle},
    Entry{"plus.circle", plusCircle},
    Entry{"chevron.down", chevronDown},
    Entry{"chevron.right", chevronRight},
    Entry{"arrow.down.circle.fill", arrowDownCircleFill},
    Entry{"app", app},
    Entry{"app.dashed", appDashed},
    Entry{"macwindow.on.rectangle", macwindowOnRectangle},
    Entry{"gearshape", gearshape},
    Entry{"link", link},
    Entry{"link.badge.plus", linkBadgePlus},
};

Painter find(std::string_view name) {
    auto entry = std::ranges::find(kTable, name, &Entry::name);
    return entry == kTable.end() ? nullptr : entry->paint;
}

QString cacheKey(std::string_view name, const QColor& color, QSizeF size, qreal ratio) {
    return QStringLiteral("%1|%2|%3x%4@%5")
        .arg(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())))
        .arg(color.rgba(), 0, 16)
        .arg(size.width())
        .arg(size.height())
        .arg(ratio);
}

} // namespace

bool contains(std::string_view name) {
    return find(name) != nullptr;
}

std::vector<std::string_view> names() {
    std::vector<std::string_view> out;
    for (const auto& entry : kTable) {
        out.push_back(entry.name);
    }
    return out;
}

QPixmap pixmap(std::string_view name, const QColor& color, QSizeF size, qreal devicePixelRatio) {
    const Painter painter = find(name);
    if (painter == nullptr || size.isEmpty() || devicePixelRatio <= 0) {
        return {};
    }
    static QCache<QString, QPixmap> cache(512);
    const QString key = cacheKey(name, color, size, devicePixelRatio);
    if (const QPixmap* cached = cache.object(key)) {
        return *cached;
    }
    const QSize pixels((size * devicePixelRatio).toSize().expandedTo(QSize(1, 1)));
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        const double side = std::min(pixels.width(), pixels.height());
        p.translate((pixels.width() - side) / 2, (pixels.height() - side) / 2);
        p.scale(side / kDesign, side / kDesign);
        painter(p, color);
    }
    QPixmap result = QPixmap::fromImage(std::move(image));
    result.setDevicePixelRatio(devicePixelRatio);
    cache.insert(key, new QPixmap(result));
    return result;
}

void paint(QPainter& painter, const QRectF& rect, std::string_view name, const QColor& color) {
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QPixmap picture = pixmap(name, color, rect.size(), ratio);
    if (!picture.isNull()) {
        painter.drawPixmap(rect.topLeft(), picture);
    }
}

void paint(QPainter& painter, const QRectF& rect, const Glyph& glyph, const QPalette& palette) {
    paint(painter, rect, glyph.name, Theme::color(glyph.role, palette));
}

} // namespace Glyphs

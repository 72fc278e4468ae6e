#include "kvcanvas.h"

#include <QFontMetrics>
#include <QPainterPath>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <utility>

namespace ostrel::vessolt::controls {

namespace {
KvTextOutHook& textOutHook() {
    static KvTextOutHook hook;
    return hook;
}

QPainter::CompositionMode compositionOf(KvCopyMode mode) {
    return mode == KvCopyMode::SrcInvert ? QPainter::RasterOp_SourceXorDestination : QPainter::CompositionMode_Source;
}

// Angle of a radial point in the parametric measure Qt's arcs use, in degrees.
double parametricAngle(double cx, double cy, double rx, double ry, int x, int y) {
    const double a = std::atan2((cy - y) / (ry > 0 ? ry : 1), (x - cx) / (rx > 0 ? rx : 1));
    return a * 180.0 / std::numbers::pi;
}
bool penVisible(const QPen& pen) { return pen.style() != Qt::NoPen; }
} // namespace

QImage kvWorkBitmap(int width, int height) {
    QImage image(std::max(width, 0), std::max(height, 0), QImage::Format_RGB32);
    image.fill(Qt::white);
    return image;
}

void KvSetTextOutHook(KvTextOutHook hook) { textOutHook() = std::move(hook); }

KvCanvas::KvCanvas(QImage& image) : image_(image), painter_(&image) {
    painter_.setRenderHint(QPainter::Antialiasing, false);
    painter_.setRenderHint(QPainter::TextAntialiasing, false);
    painter_.setRenderHint(QPainter::SmoothPixmapTransform, false);
    pen_.setCapStyle(Qt::FlatCap);
    pen_.setJoinStyle(Qt::MiterJoin);
    painter_.setPen(pen_);
    painter_.setBrush(brush_);
    painter_.setFont(font_);
}

QPainter& KvCanvas::painter() {
    painter_.setPen(pen_);
    painter_.setBrush(brush_);
    painter_.setFont(font_);
    return painter_;
}

void KvCanvas::setPen(const QPen& pen) {
    pen_ = pen;
    painter_.setPen(pen_);
}

void KvCanvas::setPen(QColor color, int width) {
    QPen pen(color, std::max(width, 1), Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    setPen(pen);
}

void KvCanvas::setBrush(const QBrush& brush) {
    brush_ = brush;
    painter_.setBrush(brush_);
}

void KvCanvas::setFont(const QFont& font) {
    font_ = font;
    painter_.setFont(font_);
}

int KvCanvas::textWidth(const QString& text) const { return QFontMetrics(font_, &image_).horizontalAdvance(text); }
int KvCanvas::textHeight(const QString&) const { return QFontMetrics(font_, &image_).height(); }
int KvCanvas::ascent() const { return QFontMetrics(font_, &image_).ascent(); }
int KvCanvas::descent() const { return QFontMetrics(font_, &image_).descent(); }

void KvCanvas::textOut(int x, int y, const QString& text) {
    if (const auto& hook = textOutHook())
        hook(x, y, text);
    if (brush_.style() == Qt::SolidPattern)
        painter_.fillRect(QRect(x, y, textWidth(text), textHeight(text)), brush_.color());
    painter_.setPen(fontColor_);
    painter_.setFont(font_);
    painter_.drawText(QPoint(x, y + ascent()), text);
    painter_.setPen(pen_);
}

void KvCanvas::rectangle(int left, int top, int right, int bottom) {
    if (right < left)
        std::swap(left, right);
    if (bottom < top)
        std::swap(top, bottom);
    if (right - left < 1 || bottom - top < 1)
        return;
    if (brush_.style() != Qt::NoBrush)
        painter_.fillRect(QRect(left, top, right - left, bottom - top), brush_);
    if (!penVisible(pen_))
        return;
    if (pen_.width() <= 1) {
        const QColor c = pen_.color();
        painter_.fillRect(QRect(left, top, right - left, 1), c);
        painter_.fillRect(QRect(left, bottom - 1, right - left, 1), c);
        painter_.fillRect(QRect(left, top, 1, bottom - top), c);
        painter_.fillRect(QRect(right - 1, top, 1, bottom - top), c);
        return;
    }
    painter_.save();
    painter_.setBrush(Qt::NoBrush);
    painter_.drawRect(QRectF(left, top, right - left - 1, bottom - top - 1));
    painter_.restore();
}

void KvCanvas::ellipse(int left, int top, int right, int bottom) {
    if (right - left < 1 || bottom - top < 1)
        return;
    painter_.setPen(pen_);
    painter_.setBrush(brush_);
    painter_.drawEllipse(QRect(left, top, right - left - 1, bottom - top - 1));
}

void KvCanvas::roundRect(int left, int top, int right, int bottom, int cornerWidth, int cornerHeight) {
    if (right - left < 1 || bottom - top < 1)
        return;
    if (cornerWidth <= 1 && cornerHeight <= 1) {
        rectangle(left, top, right, bottom);
        return;
    }
    painter_.setPen(pen_);
    painter_.setBrush(brush_);
    painter_.drawRoundedRect(QRectF(left, top, right - left - 1, bottom - top - 1), cornerWidth / 2.0,
                             cornerHeight / 2.0);
}

void KvCanvas::fillRect(int left, int top, int right, int bottom) {
    if (brush_.style() == Qt::NoBrush)
        return;
    fillRect(left, top, right, bottom, brush_.color());
}

void KvCanvas::fillRect(int left, int top, int right, int bottom, const QColor& color) {
    if (left == right || top == bottom)
        return;
    painter_.fillRect(QRect(std::min(left, right), std::min(top, bottom), std::abs(right - left), std::abs(bottom - top)),
                      color);
}

void KvCanvas::spanPoints(int x1, int y1, int x2, int y2) {
    const QColor c = pen_.color();
    if (y1 == y2) {
        if (x1 < x2)
            painter_.fillRect(QRect(x1, y1, x2 - x1, 1), c);
        else if (x2 < x1)
            painter_.fillRect(QRect(x2 + 1, y1, x1 - x2, 1), c);
        return;
    }
    if (x1 == x2) {
        if (y1 < y2)
            painter_.fillRect(QRect(x1, y1, 1, y2 - y1), c);
        else
            painter_.fillRect(QRect(x1, y2 + 1, 1, y1 - y2), c);
        return;
    }
    // Bresenham without the end point, as a device context draws it.
    std::vector<QPoint> points;
    const int dx = std::abs(x2 - x1);
    const int dy = -std::abs(y2 - y1);
    const int sx = x1 < x2 ? 1 : -1;
    const int sy = y1 < y2 ? 1 : -1;
    int err = dx + dy;
    int x = x1;
    int y = y1;
    points.reserve(static_cast<size_t>(std::max(dx, -dy)));
    while (x != x2 || y != y2) {
        points.emplace_back(x, y);
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
    painter_.save();
    painter_.setPen(QPen(c, 1));
    painter_.drawPoints(points.data(), static_cast<int>(points.size()));
    painter_.restore();
}

void KvCanvas::lineTo(int x, int y) {
    if (penVisible(pen_)) {
        if (pen_.width() <= 1) {
            spanPoints(at_.x(), at_.y(), x, y);
        } else {
            painter_.setPen(pen_);
            painter_.drawLine(at_, QPoint(x, y));
        }
    }
    at_ = {x, y};
}

void KvCanvas::polyline(const std::vector<QPoint>& points) {
    if (points.empty())
        return;
    const QPoint saved = at_;
    moveTo(points[0].x(), points[0].y());
    for (size_t i = 1; i < points.size(); ++i)
        lineTo(points[i].x(), points[i].y());
    at_ = saved;
}

void KvCanvas::polygon(const std::vector<QPoint>& points) {
    if (points.size() < 2)
        return;
    painter_.setPen(pen_);
    painter_.setBrush(brush_);
    painter_.drawPolygon(points.data(), static_cast<int>(points.size()), Qt::OddEvenFill);
}

namespace {
struct ArcGeometry {
    QRect box;
    int start16 = 0;
    int span16 = 0;
};

ArcGeometry arcGeometry(int left, int top, int right, int bottom, int x1, int y1, int x2, int y2) {
    const double cx = (left + right) / 2.0;
    const double cy = (top + bottom) / 2.0;
    const double rx = (right - left) / 2.0;
    const double ry = (bottom - top) / 2.0;
    const double a1 = parametricAngle(cx, cy, rx, ry, x1, y1);
    const double a2 = parametricAngle(cx, cy, rx, ry, x2, y2);
    double span = a2 - a1;
    while (span <= 0)
        span += 360;
    while (span > 360)
        span -= 360;
    return {QRect(left, top, right - left - 1, bottom - top - 1), static_cast<int>(std::lround(a1 * 16)),
            static_cast<int>(std::lround(span * 16))};
}
} // namespace

void KvCanvas::arc(int left, int top, int right, int bottom, int x1, int y1, int x2, int y2) {
    if (right - left < 1 || bottom - top < 1 || !penVisible(pen_))
        return;
    const ArcGeometry g = arcGeometry(left, top, right, bottom, x1, y1, x2, y2);
    painter_.setPen(pen_);
    painter_.drawArc(g.box, g.start16, g.span16);
}

void KvCanvas::pie(int left, int top, int right, int bottom, int x1, int y1, int x2, int y2) {
    if (right - left < 1 || bottom - top < 1)
        return;
    const ArcGeometry g = arcGeometry(left, top, right, bottom, x1, y1, x2, y2);
    painter_.setPen(pen_);
    painter_.setBrush(brush_);
    painter_.drawPie(g.box, g.start16, g.span16);
}

void KvCanvas::setPixel(int x, int y, const QColor& color) { painter_.fillRect(QRect(x, y, 1, 1), color); }

QColor KvCanvas::pixel(int x, int y) const {
    return image_.rect().contains(x, y) ? QColor(image_.pixel(x, y)) : QColor();
}

void KvCanvas::frame3D(int& left, int& top, int& right, int& bottom, const QColor& topLeft,
                       const QColor& bottomRight, int width) {
    for (; width > 0; --width) {
        const int r = right - 1;
        const int b = bottom - 1;
        if (r < left || b < top)
            break;
        // Left column and top row first, then right column and bottom row over their shared corners.
        painter_.fillRect(QRect(left, top, 1, b - top + 1), topLeft);
        painter_.fillRect(QRect(left, top, r - left, 1), topLeft);
        painter_.fillRect(QRect(r, top, 1, b - top + 1), bottomRight);
        painter_.fillRect(QRect(left, b, r - left + 1, 1), bottomRight);
        ++left;
        ++top;
        --right;
        --bottom;
    }
}

void KvCanvas::stretchDraw(int left, int top, int right, int bottom, const QImage& source) {
    if (left == right || top == bottom || source.isNull())
        return;
    const bool flipX = right < left;
    const bool flipY = bottom < top;
    const QRect box(std::min(left, right), std::min(top, bottom), std::abs(right - left), std::abs(bottom - top));
    painter_.drawImage(box, flipX || flipY ? source.mirrored(flipX, flipY) : source);
}

void KvCanvas::draw(int x, int y, const QImage& source, KvCopyMode mode) {
    copyRect(QRect(QPoint(x, y), source.size()), source, source.rect(), mode);
}

void KvCanvas::copyRect(const QRect& target, const QImage& source, const QRect& sourceRect, KvCopyMode mode) {
    if (target.isEmpty() || sourceRect.isEmpty())
        return;
    const auto saved = painter_.compositionMode();
    painter_.setCompositionMode(compositionOf(mode));
    painter_.drawImage(target, source, sourceRect);
    painter_.setCompositionMode(saved);
}

QRect KvCanvas::clipBox() const {
    return hasClip_ ? clip_.boundingRect().intersected(image_.rect()) : image_.rect();
}

void KvCanvas::setClipRect(const QRect& rect) { setClipRegion(QRegion(rect)); }

void KvCanvas::setClipEllipse(int left, int top, int right, int bottom) {
    setClipRegion(QRegion(QRect(left, top, std::max(right - left, 0), std::max(bottom - top, 0)), QRegion::Ellipse));
}

void KvCanvas::setClipRegion(const QRegion& region) {
    clip_ = region;
    hasClip_ = true;
    painter_.setClipRegion(region);
}

void KvCanvas::clearClip() {
    clip_ = QRegion();
    hasClip_ = false;
    // A painter whose clipping was switched off ignores a later elliptic region when drawing
    // images; the whole image as clip leaves clipping on and clips nothing.
    painter_.setClipRect(image_.rect());
}

} // namespace ostrel::vessolt::controls

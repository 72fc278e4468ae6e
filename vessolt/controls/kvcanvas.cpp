#include "kvcanvas.h"

#include <QFontMetrics>

namespace ostrel::vessolt::controls {

KvCanvas::KvCanvas(QImage& image) : image_(image), painter_(&image) {
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
    if (brush_.style() == Qt::SolidPattern)
        painter_.fillRect(QRect(x, y, textWidth(text), textHeight(text)), brush_.color());
    painter_.setPen(fontColor_);
    painter_.setFont(font_);
    painter_.drawText(QPoint(x, y + ascent()), text);
    painter_.setPen(pen_);
}

QRect KvCanvas::clipBox() const { return clip_.isNull() ? image_.rect() : clip_.intersected(image_.rect()); }

void KvCanvas::setClipRect(const QRect& rect) {
    clip_ = rect;
    painter_.setClipRect(rect);
}

void KvCanvas::clearClip() {
    clip_ = QRect();
    painter_.setClipping(false);
}

void KvCanvas::copyRect(const QRect& target, const QImage& source, const QRect& sourceRect) {
    painter_.drawImage(target, source, sourceRect);
}

} // namespace ostrel::vessolt::controls

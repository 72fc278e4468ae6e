// A drawing surface that keeps its pen, brush and font between calls, the way the drawing
// procedures expect: QPainter on a QImage, with text output, extents, a clip box and copying.
#pragma once

#include "kvcontrols_export.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPen>

namespace ostrel::vessolt::controls {

class KVCONTROLS_EXPORT KvCanvas {
public:
    // Draws on `image`, which must outlive the canvas.
    explicit KvCanvas(QImage& image);
    KvCanvas(const KvCanvas&) = delete;
    KvCanvas& operator=(const KvCanvas&) = delete;

    [[nodiscard]] QImage& image() { return image_; }
    [[nodiscard]] const QImage& image() const { return image_; }
    // The painter with the canvas's pen, brush and font applied.
    QPainter& painter();

    [[nodiscard]] const QPen& pen() const { return pen_; }
    void setPen(const QPen& pen);
    [[nodiscard]] const QBrush& brush() const { return brush_; }
    void setBrush(const QBrush& brush);
    [[nodiscard]] const QFont& font() const { return font_; }
    void setFont(const QFont& font);
    [[nodiscard]] QColor fontColor() const { return fontColor_; }
    void setFontColor(const QColor& color) { fontColor_ = color; }

    // Text with its top-left corner at (x, y) in the font colour; a solid brush fills behind it.
    void textOut(int x, int y, const QString& text);
    [[nodiscard]] int textWidth(const QString& text) const;
    [[nodiscard]] int textHeight(const QString& text) const;
    [[nodiscard]] int ascent() const;
    [[nodiscard]] int descent() const;

    // The clip box: the clip rectangle when one is set, else the whole image.
    [[nodiscard]] QRect clipBox() const;
    void setClipRect(const QRect& rect);
    void clearClip();

    // Copies `source` of another image to `target` here (scaled when the sizes differ).
    void copyRect(const QRect& target, const QImage& source, const QRect& sourceRect);

private:
    QImage& image_;
    QPainter painter_;
    QPen pen_;
    QBrush brush_{Qt::white, Qt::SolidPattern};
    QFont font_;
    QColor fontColor_{Qt::black};
    QRect clip_;
};

} // namespace ostrel::vessolt::controls

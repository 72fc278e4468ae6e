// A drawing surface that keeps its pen, brush and font between calls, the way the drawing
// procedures expect: QPainter on a QImage without antialiasing, shapes that cover the pixels a
// Windows device context covers, text output, extents, clips and copying.
#pragma once

#include "kvcontrols_export.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QRegion>

#include <functional>
#include <vector>

namespace ostrel::vessolt::controls {

// Work bitmaps of the drawing procedures.
KVCONTROLS_EXPORT QImage kvWorkBitmap(int width, int height);

// Called for every text the canvases write (tests record layout with it); nullptr removes it.
using KvTextOutHook = std::function<void(int x, int y, const QString& text)>;
KVCONTROLS_EXPORT void KvSetTextOutHook(KvTextOutHook hook);

// Raster operations of copyRect.
enum class KvCopyMode { SrcCopy, SrcInvert };

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
    // Solid pen of the colour and width (0 counts as 1).
    void setPen(QColor color, int width = 1);
    [[nodiscard]] const QBrush& brush() const { return brush_; }
    void setBrush(const QBrush& brush);
    void clearBrush() { setBrush(QBrush(Qt::NoBrush)); }
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

    // Shapes take the box (left, top, right, bottom) and cover columns left..right-1 and rows
    // top..bottom-1: outline in the pen, inside in the brush.
    void rectangle(int left, int top, int right, int bottom);
    void ellipse(int left, int top, int right, int bottom);
    void roundRect(int left, int top, int right, int bottom, int cornerWidth, int cornerHeight);
    // The brush alone over the box; a reversed box is normalised first.
    void fillRect(int left, int top, int right, int bottom);
    void fillRect(int left, int top, int right, int bottom, const QColor& color);
    void moveTo(int x, int y) { at_ = {x, y}; }
    // A line from the current position that leaves out its end point, which becomes the position.
    void lineTo(int x, int y);
    // Lines through the points; the last point is left out.
    void polyline(const std::vector<QPoint>& points);
    void polygon(const std::vector<QPoint>& points);
    // The ellipse over the box from the ray through (x1, y1) counter-clockwise to the ray through
    // (x2, y2); equal rays give the whole ellipse. The pie closes to the centre and fills.
    void arc(int left, int top, int right, int bottom, int x1, int y1, int x2, int y2);
    void pie(int left, int top, int right, int bottom, int x1, int y1, int x2, int y2);
    void setPixel(int x, int y, const QColor& color);
    [[nodiscard]] QColor pixel(int x, int y) const;
    // `width` rings of one pixel: top and left in `topLeft`, right and bottom in `bottomRight`; the
    // box shrinks by one per ring.
    void frame3D(int& left, int& top, int& right, int& bottom, const QColor& topLeft, const QColor& bottomRight,
                 int width);

    // The image stretched over the box; a reversed box shows it mirrored on that axis.
    void stretchDraw(int left, int top, int right, int bottom, const QImage& source);
    void draw(int x, int y, const QImage& source, KvCopyMode mode = KvCopyMode::SrcCopy);
    // Copies `sourceRect` of another image to `target` here (scaled when the sizes differ).
    void copyRect(const QRect& target, const QImage& source, const QRect& sourceRect,
                  KvCopyMode mode = KvCopyMode::SrcCopy);

    // The clip box: the bounding box of the clip when one is set, else the whole image.
    [[nodiscard]] QRect clipBox() const;
    [[nodiscard]] bool hasClip() const { return hasClip_; }
    [[nodiscard]] const QRegion& clipRegion() const { return clip_; }
    void setClipRect(const QRect& rect);
    // Clipped to the ellipse inscribed in the box (left, top, right, bottom).
    void setClipEllipse(int left, int top, int right, int bottom);
    void setClipRegion(const QRegion& region);
    void clearClip();

private:
    void outline(const QPainterPath& path);
    void spanPoints(int x1, int y1, int x2, int y2);

    QImage& image_;
    QPainter painter_;
    QPen pen_;
    QBrush brush_{Qt::white, Qt::SolidPattern};
    QFont font_;
    QColor fontColor_{Qt::black};
    QRegion clip_;
    bool hasClip_ = false;
    QPoint at_;
};

// Restores a canvas's clip (or its absence) when it goes out of scope.
class KVCONTROLS_EXPORT KvClipKeeper {
public:
    explicit KvClipKeeper(KvCanvas& canvas)
        : canvas_(canvas), had_(canvas.hasClip()), region_(canvas.clipRegion()) {}
    ~KvClipKeeper() {
        if (had_)
            canvas_.setClipRegion(region_);
        else
            canvas_.clearClip();
    }
    KvClipKeeper(const KvClipKeeper&) = delete;
    KvClipKeeper& operator=(const KvClipKeeper&) = delete;

private:
    KvCanvas& canvas_;
    bool had_;
    QRegion region_;
};

} // namespace ostrel::vessolt::controls

#include "kvvalind.h"

#include "kvcanvas.h"

namespace ostrel::vessolt::controls {

TKvLineSettings::TKvLineSettings() { chain(pen_); }

void TKvLineSettings::SetPen(const KvPen& pen) {
    if (&pen == &pen_)
        return;
    pen_.assign(pen);
    Change();
}

TKvCustomScale::TKvCustomScale() {
    stepLines_.Pen().SetColor(clWhite);
    stepLines_.Pen().SetWidth(2);
    subStepLines_.Pen().SetColor(0xC0C0C0);
    chain(font_);
    chain(stepLines_);
    chain(subStepLines_);
}

void TKvCustomScale::SetFont(const KvFont& font) {
    if (&font == &font_)
        return;
    font_.assign(font);
    Change();
}

TKvText::TKvText() { chain(font_); }

TKvValInd::TKvValInd() {
    bevel_.SwapColors();
    font_.SetName(QStringLiteral("Arial"));
    font_.SetSize(10);
    font_.SetBold(true);
    font_.SetColor(clLime);
    chain(bevel_);
    chain(caption_);
    chain(font_);
    chain(txtSpacing_);
}

void TKvValInd::Draw(KvCanvas& canvas, TPoint p, toPos pos) {
    if (!visible_)
        return;
    font_.select(canvas);
    const int32_t th = canvas.textHeight(formatStr_);
    rightMargin_ = th / 7;
    const int32_t bw = bevel_.Width();
    const int32_t w = canvas.textWidth(formatStr_) + 2 * bw + 2 * rightMargin_ + txtSpacing_.Left() + txtSpacing_.Right();
    const int32_t h = 2 * bw + th + txtSpacing_.Top() + txtSpacing_.Bottom();
    const int col = pos % 3;
    const int row = pos / 3;
    const int32_t x = p.x + offsetX_ + 1 - (col == 1 ? w / 2 : col == 2 ? w : 0);
    const int32_t y = p.y + offsetY_ - (row == 1 ? h / 2 : row == 2 ? h : 0);
    valueRect_ = {x, y, x + w, y + h};
    const TPoint c = KvCenterPoint(valueRect_);

    if (caption_.Visible()) {
        caption_.Font().select(canvas);
        canvas.clearBrush();
        struct Place {
            int32_t x, y;
            toPos anchor;
        };
        const TRect& b = valueRect_;
        static_assert(toBotRight == 8);
        const Place places[9] = {
            {b.left, b.top, toBotLeft},        {c.x, b.top, toBotCenter},      {b.right, b.top, toBotRight},
            {b.left - 1, c.y, toMidRight},     {c.x, c.y, toMidCenter},        {b.right, c.y, toMidLeft},
            {b.left, b.bottom, toTopLeft},     {c.x, b.bottom, toTopCenter},   {b.right, b.bottom, toTopRight},
        };
        const Place& at = places[caption_.Pos()];
        KvTextOut(canvas, caption_.OffsetX() + at.x, caption_.OffsetY() + at.y, caption_.Text(), at.anchor);
        font_.select(canvas);
    }
    canvas.setPen(kvColor(color_), 1);
    canvas.setBrush(kvColor(color_));
    canvas.rectangle(valueRect_.left, valueRect_.top, valueRect_.right, valueRect_.bottom);
    canvas.frame3D(valueRect_.left, valueRect_.top, valueRect_.right, valueRect_.bottom, kvColor(bevel_.ColorFrom()),
                   kvColor(bevel_.ColorTo()), bw);
    KvTextOut(canvas, valueRect_.right - rightMargin_ + 1 - txtSpacing_.Right(), txtSpacing_.Top() + valueRect_.top,
              formatStr_, toTopRight);
    KvMultiBorder(valueRect_, txtSpacing_.Left(), txtSpacing_.Top(), txtSpacing_.Right(), txtSpacing_.Bottom());
}

void TKvValInd::DrawValue(KvCanvas& canvas, double value) const {
    if (!visible_ || valueRect_.width() <= 0 || valueRect_.height() <= 0)
        return;
    QImage bitmap = kvWorkBitmap(valueRect_.width(), valueRect_.height());
    {
        KvCanvas b(bitmap);
        font_.select(b);
        b.setPen(kvColor(color_), 1);
        b.setBrush(kvColor(color_));
        b.rectangle(0, 0, bitmap.width(), bitmap.height());
        KvTextOut(b, bitmap.width() - rightMargin_ + 1, 0, FormatFloat(formatStr_, value), toTopRight);
    }
    canvas.draw(valueRect_.left, valueRect_.top, bitmap);
}

} // namespace ostrel::vessolt::controls

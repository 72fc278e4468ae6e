// Value sectors, the signal lamp, pointer colours and the bar graph with its painting. Positions
// run from 0 to 1000 (per mille of full scale).
#pragma once

#include "kvbevel.h"
#include "kvgclass.h"

#include <QString>

namespace ostrel::vessolt::controls {

// Three coloured ranges, bounds inclusive.
class KVCONTROLS_EXPORT TSectorSettings : public TKvPersistent {
public:
    [[nodiscard]] TColor Sector1Color() const { return color1_; }
    void SetSector1Color(TColor v) { setField(color1_, v); }
    [[nodiscard]] int32_t Sector1From() const { return from1_; }
    void SetSector1From(int32_t v) { setField(from1_, v); }
    [[nodiscard]] int32_t Sector1To() const { return to1_; }
    void SetSector1To(int32_t v) { setField(to1_, v); }
    [[nodiscard]] TColor Sector2Color() const { return color2_; }
    void SetSector2Color(TColor v) { setField(color2_, v); }
    [[nodiscard]] int32_t Sector2From() const { return from2_; }
    void SetSector2From(int32_t v) { setField(from2_, v); }
    [[nodiscard]] int32_t Sector2To() const { return to2_; }
    void SetSector2To(int32_t v) { setField(to2_, v); }
    [[nodiscard]] TColor Sector3Color() const { return color3_; }
    void SetSector3Color(TColor v) { setField(color3_, v); }
    [[nodiscard]] int32_t Sector3From() const { return from3_; }
    void SetSector3From(int32_t v) { setField(from3_, v); }
    [[nodiscard]] int32_t Sector3To() const { return to3_; }
    void SetSector3To(int32_t v) { setField(to3_, v); }
    [[nodiscard]] int32_t Offset() const { return offset_; }
    void SetOffset(int32_t v) { setField(offset_, v); }
    [[nodiscard]] int32_t WidthOffset() const { return widthOffset_; }
    void SetWidthOffset(int32_t v) { setField(widthOffset_, v); }
    // Written directly by the gauge that switches its scale type.
    bool LogScale = false;

    // The colour of the first sector holding the position; false, colour untouched, when none does.
    bool CheckSectorColor(int32_t position, TColor& color) const;
    // Colours, then the From bounds, then the To bounds, through the setters.
    void assign(const TSectorSettings& source);

private:
    TColor color1_ = 0x00FFFF;
    int32_t from1_ = 0;
    int32_t to1_ = 333;
    TColor color2_ = 0x008000;
    int32_t from2_ = 334;
    int32_t to2_ = 666;
    TColor color3_ = 0x0000FF;
    int32_t from3_ = 667;
    int32_t to3_ = 1000;
    int32_t offset_ = 0;
    int32_t widthOffset_ = 0;
};

class KVCONTROLS_EXPORT TLED : public TKvPersistent {
public:
    [[nodiscard]] TLEDShape Shape() const { return shape_; }
    void SetShape(TLEDShape v) { setField(shape_, v); }
    [[nodiscard]] TColor ColorOn() const { return colorOn_; }
    void SetColorOn(TColor v) { setField(colorOn_, v); }
    [[nodiscard]] TColor ColorOff() const { return colorOff_; }
    void SetColorOff(TColor v) { setField(colorOff_, v); }
    // 4 to 80 pixels; anything else is ignored.
    [[nodiscard]] int32_t Width() const { return width_; }
    void SetWidth(int32_t v) {
        if (v > 3 && v < 81)
            setField(width_, v);
    }
    [[nodiscard]] int32_t Height() const { return height_; }
    void SetHeight(int32_t v) {
        if (v > 3 && v < 81)
            setField(height_, v);
    }
    // Placed by the owning widget.
    TRect LEDRect;
    // Filled in the lamp colour of its state, outlined in the button shadow.
    void Draw(KvCanvas& canvas, bool lit) const;

private:
    TLEDShape shape_ = sRound;
    TColor colorOn_ = clLime;
    TColor colorOff_ = clBtnFace;
    int32_t width_ = 13;
    int32_t height_ = 13;
};

class KVCONTROLS_EXPORT TArrowSettings : public TKvPersistent {
public:
    [[nodiscard]] int32_t Shape() const { return shape_; }
    void SetShape(int32_t v) { setField(shape_, v); }
    [[nodiscard]] TColor ColorPen() const { return pen_; }
    void SetColorPen(TColor v) { setField(pen_, v); }
    [[nodiscard]] TColor ColorBrush() const { return brush_; }
    void SetColorBrush(TColor v) { setField(brush_, v); }
    [[nodiscard]] TColor ColorCP1Pen() const { return cp1Pen_; }
    void SetColorCP1Pen(TColor v) { setField(cp1Pen_, v); }
    [[nodiscard]] TColor ColorCP1Brush() const { return cp1Brush_; }
    void SetColorCP1Brush(TColor v) { setField(cp1Brush_, v); }
    [[nodiscard]] TColor ColorCP2Pen() const { return cp2Pen_; }
    void SetColorCP2Pen(TColor v) { setField(cp2Pen_, v); }
    [[nodiscard]] TColor ColorCP2Brush() const { return cp2Brush_; }
    void SetColorCP2Brush(TColor v) { setField(cp2Brush_, v); }
    void assign(const TArrowSettings& source);

private:
    int32_t shape_ = 0;
    TColor pen_ = clBlack;
    TColor brush_ = clLime;
    TColor cp1Pen_ = clBlack;
    TColor cp1Brush_ = clBlack;
    TColor cp2Pen_ = clBlack;
    TColor cp2Brush_ = clBtnFace;
};

enum TBarStyle { bsBar, bsLED_Bar, bsPoint, bsMultiColor };
enum TBarOption : uint8_t { opValue = 1, opUnit = 2, opUseSectorCol = 4, opBidir = 8 };
// A set of TBarOption.
using TBarOptions = uint8_t;

class KVCONTROLS_EXPORT TBarSettings : public TKvPersistent {
public:
    TBarSettings();

    [[nodiscard]] TBarStyle Style() const { return style_; }
    void SetStyle(TBarStyle v) { setField(style_, v); }
    [[nodiscard]] KvFont& Font() { return font_; }
    // Copies another font into the owned one, then reports the bar settings as changed.
    void SetFont(const KvFont& font);
    [[nodiscard]] TBarOptions Options() const { return options_; }
    void SetOptions(TBarOptions v) { setField(options_, v); }
    [[nodiscard]] TColor Color() const { return color_; }
    void SetColor(TColor v) { setField(color_, v); }
    [[nodiscard]] TColor BkColor() const { return bkColor_; }
    void SetBkColor(TColor v) { setField(bkColor_, v); }
    [[nodiscard]] float BkBrightness() const { return bkBrightness_; }
    void SetBkBrightness(float v) { setField(bkBrightness_, v); }
    [[nodiscard]] bool BkAuto() const { return bkAuto_; }
    void SetBkAuto(bool v) { setField(bkAuto_, v); }
    [[nodiscard]] TKvSBevel& Bevel() { return bevel_; }
    // Copies another bevel's settings into the owned one, then notifies.
    void SetBevel(const TKvSBevel& bevel);
    // Only values above 0; every accepted value notifies, also an equal one.
    [[nodiscard]] int32_t minHeight() const { return minHeight_; }
    void SetminHeight(int32_t v);
    [[nodiscard]] int32_t minWidth() const { return minWidth_; }
    void SetminWidth(int32_t v);
    // Colours, font, options, style, bevel and minimum sizes; one notification at the end.
    void assign(const TBarSettings& source);

    // Kept by the owning widget. The sectors' changes are not reported through the bar.
    TRect BarRect;
    int32_t BarWidth = 0;
    int32_t BarHeight = 0;
    QString ValueText;
    QString UnitText;
    TColor SectorColor = clBlack;
    int32_t ZeroPos = 0;
    [[nodiscard]] TSectorSettings& Sectors() { return sectors_; }

    // The whole range in sector and background colours (dimmed by BkBrightness when asked).
    void DrawSector(KvCanvas& canvas, const TRect& rect, int32_t value, const TSectorSettings& sectors,
                    bool dimmed) const;
    // The three sectors, blacked out beyond the value.
    void DrawHSector(KvCanvas& canvas, const TRect& rect, int32_t value, const TSectorSettings& sectors) const;
    void DrawVSector(KvCanvas& canvas, const TRect& rect, int32_t value, const TSectorSettings& sectors) const;
    void Paint(KvCanvas& canvas, int32_t value, const TSectorSettings& sectors);
    // Vertical when the bar is not wider than high.
    void PaintBar(KvCanvas& canvas, int32_t value);
    void PaintHBar(KvCanvas& canvas, int32_t value) const;
    void PaintVBar(KvCanvas& canvas, int32_t value) const;

private:
    void paintBar(KvCanvas& canvas, int32_t value, bool vertical) const;

    TBarStyle style_ = bsBar;
    KvFont font_;
    TBarOptions options_ = 0;
    TColor color_ = clLime;
    TColor bkColor_ = clBlack;
    float bkBrightness_ = 0;
    bool bkAuto_ = false;
    TKvSBevel bevel_;
    int32_t minHeight_ = 5;
    int32_t minWidth_ = 5;
    TSectorSettings sectors_;
};

} // namespace ostrel::vessolt::controls

// Procedures the controls share: binary text, scale label lists, colour arithmetic, text output on
// a canvas, geometry, form positions, and the beep and message box that tests replace.
#pragma once

#include "kvcontrols_export.h"
#include "kvformat.h"

#include <QSize>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <span>

class QImage;
class QWidget;

namespace ostrel::vessolt::controls {

// Binary text. Width below 0 counts as 0; 0 gives the shortest form, d > 0 gives d + 1 digits.
KVCONTROLS_EXPORT QString KvIntToBin(int32_t value, int32_t width);
KVCONTROLS_EXPORT QString KvSingleToBin(float value, int32_t width);
// From the last character leftward with weights 1, 2, 4...: "1" adds its weight, anything else
// nothing; bits beyond 31 are dropped.
KVCONTROLS_EXPORT uint32_t KvBinToLWord(const QString& text);
KVCONTROLS_EXPORT int32_t KvBinToInt(const QString& text);
KVCONTROLS_EXPORT float KvBinToSingle(const QString& text);
KVCONTROLS_EXPORT QString KvRemoveSign(const QString& text, QChar sign);

// Platform rectangles and points: right and bottom are edges, not the last pixel.
struct TPoint {
    int32_t x = 0;
    int32_t y = 0;
    friend bool operator==(const TPoint&, const TPoint&) = default;
};
struct TRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    [[nodiscard]] int32_t width() const { return right - left; }
    [[nodiscard]] int32_t height() const { return bottom - top; }
    friend bool operator==(const TRect&, const TRect&) = default;
};

// Text anchors: the given point is that point of the text's box.
enum toPos { toTopLeft, toTopCenter, toTopRight, toMidLeft, toMidCenter, toMidRight, toBotLeft, toBotCenter, toBotRight };

// Form positions, stored per form class as 8 bytes: 32-bit left, then 32-bit top (little-endian).
struct KvFormPosRecord {
    int32_t left;
    int32_t top;
};
static_assert(sizeof(KvFormPosRecord) == 8);
static_assert(offsetof(KvFormPosRecord, left) == 0);
static_assert(offsetof(KvFormPosRecord, top) == 4);

// Positions are kept on screen by the rule every window follows (on_screen.h): on a `screen` of that
// size at the origin (not negative, far enough left and up that the form fits), else on the screen
// that holds the most of the form.
KVCONTROLS_EXPORT bool KvSaveFormPos(const QWidget& form, QSize screen = {});
KVCONTROLS_EXPORT void KvLoadFormPos(QWidget& form, QSize screen = {});
// The key of a form class ("SOFTWARE\Kvarts\Data\<class>", local machine root).
KVCONTROLS_EXPORT QString KvFormPosKey(const QWidget& form);

// Logarithms; a base or argument of 0 or below throws std::domain_error.
KVCONTROLS_EXPORT long double KvLog10(long double x);
KVCONTROLS_EXPORT long double KvPower(long double base, long double exponent);
// 10 to the rounded decimal exponent of `value` (0 or below counts as 1).
KVCONTROLS_EXPORT double KvRoundLogValue(double value, int32_t& exponent);
// Label lists: items formatted with `fmt`, each followed by ";".
KVCONTROLS_EXPORT QString KvCalcLogStr(double value, int32_t count, const QString& fmt, bool down);
// Powers of ten from `low` to `high`, both included, the exponent stepping by at least 1.
KVCONTROLS_EXPORT QString KvLogRangeStr(int32_t low, int32_t high, int32_t count, const QString& fmt, bool down);
// count + 1 items from high down to low (count below 1 counts as 1).
KVCONTROLS_EXPORT QString KvRangeStr(float low, float high, int32_t count, const QString& fmt);
KVCONTROLS_EXPORT QString KvStrToken(QString& s, QChar separator);
KVCONTROLS_EXPORT int32_t KvCharCount(const QString& s, QChar c);

// Colour arithmetic on 0x00BBGGRR colours (system colours resolved first).
KVCONTROLS_EXPORT TColor KvSetBrightness(TColor color, float percent);
KVCONTROLS_EXPORT TColor KvCalcColor(TColor from, TColor to, int32_t steps, int32_t step);

class KvCanvas;
KVCONTROLS_EXPORT void KvGetTextSize(const KvCanvas& canvas, int32_t& width, int32_t& height, TPoint& half,
                                     const QString& text);
KVCONTROLS_EXPORT void KvGetMaxTokenSize(const KvCanvas& canvas, int32_t& maxWidth, int32_t& height, const QString& text);
KVCONTROLS_EXPORT void KvGetMaxTokenSize2(const KvCanvas& canvas, int32_t& maxWidth, int32_t& height,
                                          const QString& text, QChar separator);
KVCONTROLS_EXPORT void KvTextOut(KvCanvas& canvas, int32_t x, int32_t y, const QString& text, toPos pos);
// Lines separated by "|".
KVCONTROLS_EXPORT void KvTextOutMultiLine(KvCanvas& canvas, int32_t x, int32_t y, int32_t spacing, const QString& text,
                                          toPos pos);
KVCONTROLS_EXPORT void KvTextOut3D(KvCanvas& canvas, int32_t x, int32_t y, TColor color1, TColor color2,
                                   TColor textColor, const QString& text, toPos pos, bool is3D);
KVCONTROLS_EXPORT void KvTextOutMultiLine3D(KvCanvas& canvas, int32_t x, int32_t y, int32_t spacing, TColor color1,
                                            TColor color2, TColor textColor, const QString& text, toPos pos,
                                            bool is3D);
// Text turned clockwise by `angle` degrees about `point`.
KVCONTROLS_EXPORT void KvRotTextOut(KvCanvas& canvas, TPoint point, float angle, const QString& text, toPos pos);

KVCONTROLS_EXPORT int32_t KvMinInt(int32_t a, int32_t b);
KVCONTROLS_EXPORT int32_t KvMaxInt(int32_t a, int32_t b);
KVCONTROLS_EXPORT int32_t KvMinMaxInt(int32_t value, int32_t low, int32_t high);
KVCONTROLS_EXPORT bool KvRectIntersection(const TRect& a, const TRect& b, TRect& r);
// Right edge excluded, bottom edge included.
KVCONTROLS_EXPORT bool KvInRect(int32_t x, int32_t y, const TRect& rect);
KVCONTROLS_EXPORT bool KvRectIsRect(const TRect& a, const TRect& b);
KVCONTROLS_EXPORT bool KvRectInRect(const TRect& a, const TRect& b);
KVCONTROLS_EXPORT void KvBorder(TRect& rect, int32_t n);
KVCONTROLS_EXPORT void KvMultiBorder(TRect& rect, int32_t left, int32_t top, int32_t right, int32_t bottom);
KVCONTROLS_EXPORT TPoint KvCenterPoint(const TRect& rect);
// With `clockwise` set the point turns clockwise on a screen whose y grows downward.
KVCONTROLS_EXPORT TPoint KvRotate(TPoint point, TPoint centre, float angle, bool clockwise);
KVCONTROLS_EXPORT float KvGetAngle(TPoint a, TPoint b);
KVCONTROLS_EXPORT int32_t KvGetRadius(const TRect& rect);
KVCONTROLS_EXPORT void KvGetMaxRect(int32_t x, int32_t y, TRect& rect);
KVCONTROLS_EXPORT void KvArrowSettings(TPoint& point, int32_t unused, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4);
// Copies what of the canvas's clip box lies in `rect` into `bitmap` (sized to the rectangle), at the
// same place relative to the rectangle.
KVCONTROLS_EXPORT void GetBkUpImage(const KvCanvas& canvas, QImage& bitmap, const TRect& rect);

// ---- drawing ----
// The procedures set the canvas's pen and brush as they need and leave them so.

enum TGradientStyle {
    gsHorizontal1, gsHorizontal2, gsHorizontal3, gsVertical1, gsVertical2, gsVertical3, gsElliptic1,
    gsElliptic2, gsElliptic3, gsRectangle, gsDiamond1, gsDiamond2, gsTopLeft, gsTopRight
};
inline constexpr int kGradientStyleCount = gsTopRight + 1;
enum TLEDShape { sRound, sArrowLeft, sArrowRight, sArrowUp, sArrowDown, sRectangle, sDiamondLeft, sDiamondRight };

// Raised: shadow outside and highlight inside; the rect becomes the inner ellipse's box.
KVCONTROLS_EXPORT void KvEllipse3D(KvCanvas& canvas, TRect& rect, TColor color, bool raised);
// `color` has no effect: the outline is highlight with a shadow arc.
KVCONTROLS_EXPORT void KvCircleAtPoint(KvCanvas& canvas, TPoint centre, int32_t r, TColor color, TColor fill);
// A ring (or disc) in `color`, copied through an elliptic clip; `origin` is not needed since clips
// are set in the canvas's own coordinates.
KVCONTROLS_EXPORT void Kv3DEllipse(KvCanvas& canvas, TPoint origin, TPoint centre, int32_t rx, int32_t ry,
                                   TColor color, bool whole, bool ring);
KVCONTROLS_EXPORT void KvThumb(KvCanvas& canvas, TPoint centre, int32_t size, int32_t unused, bool vertical,
                               TColor color);
KVCONTROLS_EXPORT bool KvInCircle(int32_t x, int32_t y, const TRect& rect);
KVCONTROLS_EXPORT TRect KvMakeSquare(const TRect& rect);
KVCONTROLS_EXPORT TRect KvMakeCenterSquare(const TRect& rect);
// Two rings; the rect shrinks by 2.
KVCONTROLS_EXPORT void KvBtnBevel(KvCanvas& canvas, TRect& rect, bool raised, bool fill, TColor color);
KVCONTROLS_EXPORT void KvCircleGradFill(KvCanvas& canvas, const TRect& rect, TColor from, TColor to);
// An empty rect paints nothing.
KVCONTROLS_EXPORT void KvGradFill(KvCanvas& canvas, const TRect& rect, TColor from, TColor to, TGradientStyle style);
KVCONTROLS_EXPORT void KvDrawLED(KvCanvas& canvas, const TRect& rect, TLEDShape shape, TColor border, TColor fill);
KVCONTROLS_EXPORT void KvRoundSector(KvCanvas& canvas, const TRect& rect, float angle1, float angle2);
// `labels` is a ";"-separated list of main + 1 items. Nothing is drawn when main x sub is 0.
KVCONTROLS_EXPORT void KvHorizScala(KvCanvas& canvas, const QString& labels, TRect& rect, int32_t main, int32_t sub,
                                    bool labelsFirst);
// Position in thousandths of the rect's width.
KVCONTROLS_EXPORT void KvDrawHPointer(KvCanvas& canvas, const TRect& rect, int32_t position, int32_t halfWidth,
                                      int32_t height, bool unused);
KVCONTROLS_EXPORT int32_t CalcTotalDigit(int32_t a, int32_t b);
// Element 0 holds the last index n (low byte of x), element 1 the centre; points 2..n are turned
// and drawn. n is bounded by both arrays.
KVCONTROLS_EXPORT void KvArrowDraw(KvCanvas& canvas, float angle, std::span<const TPoint> source,
                                   std::span<TPoint> target, bool clockwise);

// Opens a file or starts a program with parameters; above 32 on success, as the shell answers.
KVCONTROLS_EXPORT int32_t KvExecuteFile(const QString& file, const QString& parameters, const QString& directory,
                                        int32_t showCommand);

// The default beep, and a hook that replaces it (nullptr restores the default). Returns the
// previous hook.
using KvBeepHook = void (*)();
KVCONTROLS_EXPORT void KvBeep();
KVCONTROLS_EXPORT KvBeepHook KvSetBeepHook(KvBeepHook hook);

// An error message box with an OK button, and a hook that replaces it.
using KvMessageHook = void (*)(const QString& text, const QString& caption);
KVCONTROLS_EXPORT void KvShowError(const QString& text, const QString& caption);
KVCONTROLS_EXPORT KvMessageHook KvSetMessageHook(KvMessageHook hook);

} // namespace ostrel::vessolt::controls

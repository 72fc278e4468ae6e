// Number text and colour conversions shared by the controls. No widgets here: numbers are parsed
// and formatted independently of the C locale, with the separators of `KvSeparators`.
#pragma once

#include "kvcontrols_export.h"

#include <QChar>
#include <QColor>
#include <QString>

#include <cstdint>
#include <optional>

namespace ostrel::vessolt::controls {

// The decimal and thousand separators that number texts use.
struct KvSeparators {
    QChar decimal = u'.';
    QChar thousand = u',';
    friend bool operator==(const KvSeparators&, const KvSeparators&) = default;
};

// The separators in force: those of QLocale::system() until a caller sets others (tests, or a
// program that wants a fixed notation). Set them before any control is created.
KVCONTROLS_EXPORT KvSeparators kvSeparators();
KVCONTROLS_EXPORT void kvSetSeparators(const KvSeparators& separators);

// Formats `value` with a picture: "0" digit, "#" optional digit, "." decimal separator, ","
// thousand grouping, "E+0"/"E-0"/"e+0"/"e-0" exponent, quoted literals, up to three sections
// "positive;negative;zero". Rounds at 15 significant digits, then half away from zero. An empty
// picture, or more than 18 integer digits without an exponent, gives the general form ("1.7E308").
KVCONTROLS_EXPORT QString FormatFloat(const QString& picture, double value);
KVCONTROLS_EXPORT QString FormatFloat(const QString& picture, double value, const KvSeparators& separators);
// The shortest text of 15 significant digits ("0.1", "1E-5", "1.7E308").
KVCONTROLS_EXPORT QString FloatToStr(double value, const KvSeparators& separators);

// Whole-text conversions; leading and trailing blanks are allowed. nullopt when refused (bad
// characters, out of range).
KVCONTROLS_EXPORT std::optional<double> StrToFloat(const QString& text);
KVCONTROLS_EXPORT std::optional<double> StrToFloat(const QString& text, const KvSeparators& separators);
// Decimal, or hexadecimal after "$" or "0x" (up to 32 bits, read as signed: "$FFFFFFFF" is -1);
// an optional sign before either.
KVCONTROLS_EXPORT std::optional<int32_t> StrToInt(const QString& text);

// Rounds to the nearest integer, ties to even, saturating at the 32-bit range; NaN gives 0.
KVCONTROLS_EXPORT int32_t kvRound(double value) noexcept;

// Colours as stored: 0x00BBGGRR, or 0x800000nn for the system colour nn.
using TColor = uint32_t;
inline constexpr TColor clBlack = 0x000000;
inline constexpr TColor clRed = 0x0000FF;
inline constexpr TColor clLime = 0x00FF00;
inline constexpr TColor clBlue = 0xFF0000;
inline constexpr TColor clWhite = 0xFFFFFF;
inline constexpr TColor clGray = 0x808080;
inline constexpr TColor clWindow = 0x80000005;
inline constexpr TColor clWindowText = 0x80000008;
inline constexpr TColor clBtnFace = 0x8000000F;
inline constexpr TColor clBtnShadow = 0x80000010;
inline constexpr TColor clBtnText = 0x80000012;
inline constexpr TColor clBtnHighlight = 0x80000014;

// The colour to paint with: red and blue swapped; system colours from the application palette.
KVCONTROLS_EXPORT QColor kvColor(TColor color);
// The colour as 0x00BBGGRR (system colours resolved).
KVCONTROLS_EXPORT TColor kvColorToRgb(TColor color);

} // namespace ostrel::vessolt::controls

#include "kvformat.h"

#include <QGuiApplication>
#include <QLocale>
#include <QPalette>

#include <charconv>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::vessolt::controls {

namespace {

struct SeparatorStore {
    std::once_flag fromLocale;
    KvSeparators value;
    bool set = false;
};

SeparatorStore& separatorStore() {
    static SeparatorStore store;
    return store;
}

// A non-negative number as significant digits: value = d0.d1d2... x 10^exponent. No leading or
// trailing zeros; zero has no digits.
struct Decimal {
    std::string digits;
    int exponent = 0;
    [[nodiscard]] bool isZero() const { return digits.empty(); }
    // The digit at decimal place `place` (0 = units, 1 = tenths, -1 = tens, ...).
    [[nodiscard]] char digitAtPlace(int place) const {
        const int index = exponent + place;
        return index >= 0 && index < static_cast<int>(digits.size()) ? digits[index] : '0';
    }
};

void trimTrailingZeros(Decimal& d) {
    while (!d.digits.empty() && d.digits.back() == '0')
        d.digits.pop_back();
    if (d.digits.empty())
        d.exponent = 0;
}

// The value at 15 significant digits, the precision a double reliably holds.
Decimal toDecimal15(double value) {
    Decimal d;
    if (value == 0)
        return d;
    char buffer[64];
    const auto res = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::scientific, 14);
    const std::string text(buffer, res.ptr);
    const auto e = text.find('e');
    for (std::size_t i = 0; i < e; ++i)
        if (text[i] != '.')
            d.digits.push_back(text[i]);
    std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(), d.exponent);
    trimTrailingZeros(d);
    return d;
}

// Keeps `count` significant digits, rounding half away from zero.
void roundToDigits(Decimal& d, int count) {
    if (d.isZero() || count >= static_cast<int>(d.digits.size()))
        return;
    if (count < 0) {
        d = {};
        return;
    }
    const bool up = d.digits[count] >= '5';
    d.digits.resize(count);
    if (up) {
        int i = count - 1;
        while (i >= 0 && d.digits[i] == '9')
            d.digits[i--] = '0';
        if (i >= 0) {
            ++d.digits[i];
        } else {
            d.digits.insert(d.digits.begin(), '1');
            ++d.exponent;
        }
    }
    trimTrailingZeros(d);
}

struct Picture {
    int intPlaceholders = 0;
    int intForced = 0;  // integer digits always shown (from the first "0" on)
    int fracPlaceholders = 0;
    int fracForced = 0;  // fraction digits always shown (up to the last "0")
    bool thousands = false;
    bool scientific = false;
    int exponentDigits = 0;
};

bool isQuote(QChar c) { return c == u'"' || c == u'\''; }

bool isExponentAt(const QString& s, qsizetype i) {
    return (s[i] == u'E' || s[i] == u'e') && i + 1 < s.size() && (s[i + 1] == u'+' || s[i + 1] == u'-');
}

Picture analyse(const QString& section) {
    Picture p;
    bool point = false;
    int firstZero = -1;
    for (qsizetype i = 0; i < section.size(); ++i) {
        const QChar c = section[i];
        if (isQuote(c)) {
            const auto end = section.indexOf(c, i + 1);
            i = end < 0 ? section.size() : end;
        } else if (c == u'0' || c == u'#') {
            if (!point) {
                if (c == u'0' && firstZero < 0)
                    firstZero = p.intPlaceholders;
                ++p.intPlaceholders;
            } else {
                ++p.fracPlaceholders;
                if (c == u'0')
                    p.fracForced = p.fracPlaceholders;
            }
        } else if (c == u'.') {
            point = true;
        } else if (c == u',') {
            p.thousands = true;
        } else if (isExponentAt(section, i)) {
            p.scientific = true;
            for (i += 2; i < section.size() && section[i] == u'0'; ++i)
                ++p.exponentDigits;
            break;
        }
    }
    if (firstZero >= 0)
        p.intForced = p.intPlaceholders - firstZero;
    p.exponentDigits = std::min(p.exponentDigits, 4);
    return p;
}

QString generalForm(double value, const KvSeparators& sep) {
    if (std::isnan(value))
        return QStringLiteral("NAN");
    if (std::isinf(value))
        return value > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    const Decimal d = toDecimal15(value);
    if (d.isZero())
        return QStringLiteral("0");
    QString out;
    if (value < 0)
        out += u'-';
    if (d.exponent >= 15 || d.exponent < -5) {
        out += QChar(d.digits[0]);
        if (d.digits.size() > 1)
            out += sep.decimal + QString::fromLatin1(d.digits.substr(1));
        out += u'E' + QString::number(d.exponent);
        return out;
    }
    if (d.exponent < 0) {
        out += u'0';
    } else {
        for (int place = -d.exponent; place <= 0; ++place)
            out += QChar(d.digitAtPlace(place));
    }
    const int lastPlace = static_cast<int>(d.digits.size()) - 1 - d.exponent;
    if (lastPlace > 0) {
        out += sep.decimal;
        for (int place = 1; place <= lastPlace; ++place)
            out += QChar(d.digitAtPlace(place));
    }
    return out;
}

std::vector<QString> splitSections(const QString& picture) {
    std::vector<QString> sections(1);
    QChar quote;
    for (const QChar c : picture) {
        if (!quote.isNull()) {
            if (c == quote)
                quote = QChar();
        } else if (isQuote(c)) {
            quote = c;
        } else if (c == u';') {
            sections.emplace_back();
            continue;
        }
        sections.back() += c;
    }
    return sections;
}

// Formats the magnitude of `value` with one section; `negative` reports whether a non-zero
// magnitude remains after rounding.
QString formatSection(const QString& section, double value, const KvSeparators& sep, bool& nonZero) {
    const Picture p = analyse(section);
    Decimal d = toDecimal15(value);
    std::string intDigits;
    std::string fracDigits;
    int exponent = 0;
    if (p.scientific) {
        const int significant = std::clamp(p.intPlaceholders + p.fracPlaceholders, 1, 15);
        roundToDigits(d, significant);
        if (!d.isZero())
            exponent = d.exponent - (p.intPlaceholders - 1);
        // Shift the digits so that `intPlaceholders` of them stand before the point.
        for (int k = 0; k < p.intPlaceholders && !d.isZero(); ++k)
            intDigits.push_back(k < static_cast<int>(d.digits.size()) ? d.digits[k] : '0');
        for (int k = 0; k < p.fracPlaceholders; ++k) {
            const int index = p.intPlaceholders + k;
            fracDigits.push_back(!d.isZero() && index < static_cast<int>(d.digits.size()) ? d.digits[index] : '0');
        }
    } else {
        roundToDigits(d, d.exponent + 1 + p.fracPlaceholders);
        if (!d.isZero() && d.exponent >= 18) {
            nonZero = true;
            return generalForm(value, sep);
        }
        for (int place = -d.exponent; place <= 0 && !d.isZero(); ++place)
            intDigits.push_back(d.digitAtPlace(place));
        for (int place = 1; place <= p.fracPlaceholders; ++place)
            fracDigits.push_back(d.digitAtPlace(place));
    }
    nonZero = !d.isZero();
    while (static_cast<int>(fracDigits.size()) > p.fracForced && !fracDigits.empty() && fracDigits.back() == '0')
        fracDigits.pop_back();
    while (static_cast<int>(intDigits.size()) < p.intForced)
        intDigits.insert(intDigits.begin(), '0');
    while (intDigits.size() > 1 && intDigits.front() == '0' && static_cast<int>(intDigits.size()) > p.intForced)
        intDigits.erase(intDigits.begin());

    QString out;
    const int length = static_cast<int>(intDigits.size());
    auto emitIntDigit = [&](int index) {
        out += QChar(intDigits[index]);
        const int fromRight = length - 1 - index;
        if (p.thousands && fromRight > 0 && fromRight % 3 == 0)
            out += sep.thousand;
    };
    int intPlaceholder = 0;
    int fracPlaceholder = 0;
    bool point = false;
    for (qsizetype i = 0; i < section.size(); ++i) {
        const QChar c = section[i];
        if (isQuote(c)) {
            const auto end = section.indexOf(c, i + 1);
            out += section.mid(i + 1, (end < 0 ? section.size() : end) - i - 1);
            i = end < 0 ? section.size() : end;
        } else if (c == u'0' || c == u'#') {
            if (!point) {
                const int index = length - p.intPlaceholders + intPlaceholder;
                if (intPlaceholder == 0) {
                    for (int k = 0; k <= index; ++k)
                        emitIntDigit(k);
                } else if (index >= 0) {
                    emitIntDigit(index);
                }
                ++intPlaceholder;
            } else {
                if (fracPlaceholder < static_cast<int>(fracDigits.size()))
                    out += QChar(fracDigits[fracPlaceholder]);
                ++fracPlaceholder;
            }
        } else if (c == u'.') {
            if (!point && !fracDigits.empty())
                out += sep.decimal;
            point = true;
        } else if (c == u',') {
            // grouping is applied to the integer digits
        } else if (p.scientific && isExponentAt(section, i)) {
            out += c;
            if (exponent < 0)
                out += u'-';
            else if (section[i + 1] == u'+')
                out += u'+';
            QString digits = QString::number(std::abs(exponent));
            while (digits.size() < p.exponentDigits)
                digits.prepend(u'0');
            out += digits;
            for (i += 2; i < section.size() && section[i] == u'0'; ++i) {
            }
            --i;
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

KvSeparators kvSeparators() {
    auto& store = separatorStore();
    std::call_once(store.fromLocale, [&store] {
        if (store.set)
            return;
        const QLocale locale = QLocale::system();
        const QString decimal = locale.decimalPoint();
        const QString group = locale.groupSeparator();
        if (decimal.size() == 1)
            store.value.decimal = decimal[0];
        if (group.size() == 1 && group[0] != store.value.decimal)
            store.value.thousand = group[0];
    });
    return store.value;
}

void kvSetSeparators(const KvSeparators& separators) {
    auto& store = separatorStore();
    std::call_once(store.fromLocale, [] {});
    store.set = true;
    store.value = separators;
}

QString FormatFloat(const QString& picture, double value) { return FormatFloat(picture, value, kvSeparators()); }

QString FormatFloat(const QString& picture, double value, const KvSeparators& separators) {
    if (picture.isEmpty() || !std::isfinite(value))
        return generalForm(value, separators);
    const auto sections = splitSections(picture);
    const QString* section = &sections[0];
    bool ownSign = false;
    if (value < 0 && sections.size() >= 2 && !sections[1].isEmpty()) {
        section = &sections[1];
        ownSign = true;
    } else if (value == 0 && sections.size() >= 3 && !sections[2].isEmpty()) {
        section = &sections[2];
    }
    bool nonZero = false;
    QString text = formatSection(*section, std::fabs(value), separators, nonZero);
    if (value < 0 && nonZero && !ownSign && !text.startsWith(u'-'))
        text.prepend(u'-');
    return text;
}

QString FloatToStr(double value, const KvSeparators& separators) { return generalForm(value, separators); }

std::optional<double> StrToFloat(const QString& text) { return StrToFloat(text, kvSeparators()); }

std::optional<double> StrToFloat(const QString& text, const KvSeparators& separators) {
    const QString trimmed = text.trimmed();
    std::string ascii;
    ascii.reserve(trimmed.size());
    for (const QChar c : trimmed) {
        if (c == separators.decimal)
            ascii.push_back('.');
        else if ((c >= u'0' && c <= u'9') || c == u'e' || c == u'E' || c == u'+' || c == u'-')
            ascii.push_back(static_cast<char>(c.unicode()));
        else
            return std::nullopt;
    }
    std::size_t begin = 0;
    if (!ascii.empty() && ascii[0] == '+')
        begin = 1;
    if (begin < ascii.size() && ascii[begin] == '+')
        return std::nullopt;
    double value = 0;
    const char* first = ascii.data() + begin;
    const char* last = ascii.data() + ascii.size();
    const auto res = std::from_chars(first, last, value, std::chars_format::general);
    if (res.ec != std::errc() || res.ptr != last || first == last)
        return std::nullopt;
    return value;
}

std::optional<int32_t> StrToInt(const QString& text) {
    const QString trimmed = text.trimmed();
    const std::string ascii = trimmed.toStdString();
    std::size_t i = 0;
    bool negative = false;
    if (i < ascii.size() && (ascii[i] == '+' || ascii[i] == '-'))
        negative = ascii[i++] == '-';
    int base = 10;
    if (i < ascii.size() && ascii[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < ascii.size() && ascii[i] == '0' && (ascii[i + 1] == 'x' || ascii[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= ascii.size() || ascii[i] == '+' || ascii[i] == '-')
        return std::nullopt;
    uint64_t magnitude = 0;
    const char* last = ascii.data() + ascii.size();
    const auto res = std::from_chars(ascii.data() + i, last, magnitude, base);
    if (res.ec != std::errc() || res.ptr != last)
        return std::nullopt;
    if (base == 16) {
        if (magnitude > 0xFFFFFFFFu)
            return std::nullopt;
        const auto pattern = static_cast<int32_t>(static_cast<uint32_t>(magnitude));
        return negative ? static_cast<int32_t>(0u - static_cast<uint32_t>(pattern)) : pattern;
    }
    if (magnitude > (negative ? 2147483648u : 2147483647u))
        return std::nullopt;
    return static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
}

int32_t kvRound(double value) noexcept {
    if (std::isnan(value))
        return 0;
    const double rounded = std::nearbyint(value);
    if (rounded >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    if (rounded <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(rounded);
}

namespace {

QPalette::ColorRole systemRole(uint32_t index) {
    switch (index) {
    case 1: case 4: return QPalette::Window;
    case 2: case 13: return QPalette::Highlight;
    case 5: return QPalette::Base;
    case 6: case 21: return QPalette::Shadow;
    case 7: return QPalette::WindowText;
    case 8: return QPalette::Text;
    case 9: case 14: return QPalette::HighlightedText;
    case 15: case 0: return QPalette::Button;
    case 16: return QPalette::Dark;
    case 17: return QPalette::PlaceholderText;
    case 18: return QPalette::ButtonText;
    case 20: return QPalette::Light;
    case 22: return QPalette::Midlight;
    case 23: return QPalette::ToolTipText;
    case 24: return QPalette::ToolTipBase;
    default: return QPalette::Window;
    }
}

} // namespace

QColor kvColor(TColor color) {
    if (color & 0x80000000u) {
        const QPalette palette = qGuiApp ? QGuiApplication::palette() : QPalette();
        return palette.color(QPalette::Active, systemRole(color & 0xFFu));
    }
    return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

TColor kvColorToRgb(TColor color) {
    if (!(color & 0x80000000u))
        return color & 0xFFFFFFu;
    const QColor c = kvColor(color);
    return static_cast<TColor>(c.red()) | static_cast<TColor>(c.green()) << 8 | static_cast<TColor>(c.blue()) << 16;
}

} // namespace ostrel::vessolt::controls

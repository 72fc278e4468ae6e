#include "kvproc.h"

#include "kvcanvas.h"
#include "on_screen.h"

#include <platform/registry.h>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QUrl>
#include <QWidget>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace ostrel::vessolt::controls {

namespace {
std::atomic<KvBeepHook> beepHook{nullptr};
std::atomic<KvMessageHook> messageHook{nullptr};
} // namespace

QString KvIntToBin(int32_t value, int32_t width) {
    if (width < 0)
        width = 0;
    const auto bits = static_cast<uint32_t>(value);
    QString text;
    for (int bit = 0; bit < 32; ++bit) {
        text.prepend((bits >> bit) & 1u ? u'1' : u'0');
        if (width == 0 ? (bit == 31 || (bits >> (bit + 1)) == 0) : bit >= width)
            break;
    }
    return text;
}

QString KvSingleToBin(float value, int32_t width) {
    return KvIntToBin(std::bit_cast<int32_t>(value), width);
}

uint32_t KvBinToLWord(const QString& text) {
    uint32_t value = 0;
    int bit = 0;
    for (auto i = text.size() - 1; i >= 0 && bit < 32; --i, ++bit)
        if (text[i] == u'1')
            value |= 1u << bit;
    return value;
}

int32_t KvBinToInt(const QString& text) { return static_cast<int32_t>(KvBinToLWord(text)); }

float KvBinToSingle(const QString& text) { return std::bit_cast<float>(KvBinToLWord(text)); }

QString KvRemoveSign(const QString& text, QChar sign) {
    QString out = text;
    out.remove(sign);
    return out;
}

// ---- form positions ----

namespace {

// The form's place by the rule every window follows, its size as the form will really have it: on
// a `screen` of that size at the origin, else on the screen that holds the most of it.
KvFormPosRecord formPosOnScreen(const QWidget& form, int32_t left, int32_t top, QSize screen) {
    const QSize size = form.frameGeometry().size().expandedTo(form.minimumSize());
    const QRect wanted = storedRect(left, top, size.width(), size.height());
    const QRect area = screen.isValid() ? QRect(QPoint(0, 0), screen) : screenAreaOf(wanted, &form);
    const QPoint kept = keptOnScreen(wanted, area).topLeft();
    return {kept.x(), kept.y()};
}

void putLe32(uint8_t* out, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t getLe32(const uint8_t* in) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<uint32_t>(in[i]) << (8 * i);
    return static_cast<int32_t>(u);
}

} // namespace

QString KvFormPosKey(const QWidget& form) {
    QString name = QString::fromLatin1(form.metaObject()->className());
    if (const auto colons = name.lastIndexOf(QStringLiteral("::")); colons >= 0)
        name = name.mid(colons + 2);
    return QStringLiteral("SOFTWARE\\Kvarts\\Data\\") + name;
}

bool KvSaveFormPos(const QWidget& form, QSize screen) {
    const KvFormPosRecord pos = formPosOnScreen(form, form.x(), form.y(), screen);
    auto key = platform::RegistryKey::create(platform::RegistryRoot::LocalMachine, KvFormPosKey(form).toStdString());
    if (!key)
        return false;
    uint8_t bytes[sizeof(KvFormPosRecord)];
    putLe32(bytes, pos.left);
    putLe32(bytes + 4, pos.top);
    // Stored only by the flush: its result is the answer.
    return key->writeBinary("Position", bytes, sizeof bytes) && key->flush();
}

void KvLoadFormPos(QWidget& form, QSize screen) {
    int32_t left = form.x();
    int32_t top = form.y();
    if (auto key = platform::RegistryKey::open(platform::RegistryRoot::LocalMachine, KvFormPosKey(form).toStdString())) {
        if (const auto bytes = key->readBinary("Position"); bytes && bytes->size() == sizeof(KvFormPosRecord)) {
            left = getLe32(bytes->data());
            top = getLe32(bytes->data() + 4);
        }
    }
    const KvFormPosRecord pos = formPosOnScreen(form, left, top, screen);
    form.move(pos.left, pos.top);
}

// ---- logarithmic and linear label lists ----

long double KvLog10(long double x) {
    if (!(x > 0))
        throw std::domain_error("logarithm of a value of 0 or below");
    return std::log(x) / std::log(10.0L);
}

long double KvPower(long double base, long double exponent) {
    if (!(base > 0))
        throw std::domain_error("power of a base of 0 or below");
    return std::exp(exponent * std::log(base));
}

double KvRoundLogValue(double value, int32_t& exponent) {
    exponent = kvRound(static_cast<double>(KvLog10(value > 0 ? value : 1.0)));
    return static_cast<double>(KvPower(10, exponent));
}

QString KvCalcLogStr(double value, int32_t count, const QString& fmt, bool down) {
    const int32_t e = kvRound(static_cast<double>(KvLog10(value)));
    QString out;
    long double v = down ? KvPower(10, e + count) : value;
    for (int32_t i = 0; i <= count; ++i) {
        out += FormatFloat(fmt, static_cast<double>(v)) + u';';
        v = down ? v / 10 : v * 10;
    }
    return out;
}

QString KvLogRangeStr(int32_t low, int32_t high, int32_t count, const QString& fmt, bool down) {
    const int32_t step = std::max<int64_t>((static_cast<int64_t>(high) - low) / std::max(count, 1), 1);
    QString out;
    auto item = [&](int64_t e) { out += FormatFloat(fmt, static_cast<double>(KvPower(10, static_cast<long double>(e)))) + u';'; };
    if (down) {
        for (int64_t e = high; e >= low; e -= step)
            item(e);
    } else {
        for (int64_t e = low; e <= high; e += step)
            item(e);
    }
    return out;
}

QString KvRangeStr(float low, float high, int32_t count, const QString& fmt) {
    count = std::max(count, 1);
    const double step = (static_cast<double>(high) - low) / count;
    QString out;
    for (int32_t i = 0; i <= count; ++i)
        out += FormatFloat(fmt, high - step * i) + u';';
    return out;
}

QString KvStrToken(QString& s, QChar separator) {
    const auto at = s.indexOf(separator);
    if (at < 0) {
        QString all = s;
        s.clear();
        return all;
    }
    QString head = s.left(at);
    s.remove(0, at + 1);
    return head;
}

int32_t KvCharCount(const QString& s, QChar c) { return static_cast<int32_t>(s.count(c)); }

// ---- colours ----

namespace {
int32_t channel(TColor c, int shift) { return static_cast<int32_t>((c >> shift) & 0xFF); }
TColor rgb(int32_t r, int32_t g, int32_t b) {
    auto clamp = [](int32_t v) { return static_cast<TColor>(std::clamp(v, 0, 255)); };
    return clamp(r) | clamp(g) << 8 | clamp(b) << 16;
}
} // namespace

TColor KvSetBrightness(TColor color, float percent) {
    const TColor c = kvColorToRgb(color);
    auto scaled = [&](int shift) { return kvRound(channel(c, shift) * static_cast<double>(percent) / 100.0); };
    return rgb(scaled(0), scaled(8), scaled(16));
}

TColor KvCalcColor(TColor from, TColor to, int32_t steps, int32_t step) {
    const TColor a = kvColorToRgb(from);
    const TColor b = kvColorToRgb(to);
    if (a == b)
        return from;
    if (steps == 0)
        steps = 1;
    auto mix = [&](int shift) {
        return channel(a, shift) +
               kvRound(static_cast<double>(channel(b, shift) - channel(a, shift)) / steps * step);
    };
    return rgb(mix(0), mix(8), mix(16));
}

// ---- text ----

void KvGetTextSize(const KvCanvas& canvas, int32_t& width, int32_t& height, TPoint& half, const QString& text) {
    width = canvas.textWidth(text);
    height = canvas.textHeight(text);
    half = {width / 2, height / 2};
}

void KvGetMaxTokenSize(const KvCanvas& canvas, int32_t& maxWidth, int32_t& height, const QString& text) {
    KvGetMaxTokenSize2(canvas, maxWidth, height, text, u';');
}

void KvGetMaxTokenSize2(const KvCanvas& canvas, int32_t& maxWidth, int32_t& height, const QString& text,
                        QChar separator) {
    height = canvas.textHeight(text);
    maxWidth = 0;
    for (const auto& item : text.split(separator))
        maxWidth = std::max(maxWidth, canvas.textWidth(item));
}

namespace {
TPoint anchored(const KvCanvas& canvas, int32_t x, int32_t y, const QString& text, toPos pos) {
    const int32_t w = canvas.textWidth(text);
    const int32_t h = canvas.textHeight(text);
    const int col = pos % 3;
    const int row = pos / 3;
    return {x - (col == 1 ? w / 2 : col == 2 ? w : 0), y - (row == 1 ? h / 2 : row == 2 ? h : 0)};
}

template <typename DrawLine>
void multiLine(KvCanvas& canvas, int32_t y, int32_t spacing, const QString& text, toPos pos, DrawLine draw) {
    const int32_t pitch = canvas.textHeight(QStringLiteral("X")) + spacing;
    const int32_t block = pitch * KvCharCount(text, u'|');
    const int row = pos / 3;
    int32_t lineY = row == 0 ? y : row == 1 ? y - block / 2 : y - block;
    for (const auto& line : text.split(u'|')) {
        draw(lineY, line);
        lineY += pitch;
    }
}
} // namespace

void KvTextOut(KvCanvas& canvas, int32_t x, int32_t y, const QString& text, toPos pos) {
    const TPoint at = anchored(canvas, x, y, text, pos);
    canvas.textOut(at.x, at.y, text);
}

void KvTextOutMultiLine(KvCanvas& canvas, int32_t x, int32_t y, int32_t spacing, const QString& text, toPos pos) {
    multiLine(canvas, y, spacing, text, pos,
              [&](int32_t lineY, const QString& line) { KvTextOut(canvas, x, lineY, line, pos); });
}

void KvTextOut3D(KvCanvas& canvas, int32_t x, int32_t y, TColor color1, TColor color2, TColor textColor,
                 const QString& text, toPos pos, bool is3D) {
    const QColor saved = canvas.fontColor();
    if (is3D) {
        canvas.setFontColor(kvColor(color1));
        KvTextOut(canvas, x + 1, y + 1, text, pos);
        canvas.setFontColor(kvColor(color2));
        KvTextOut(canvas, x - 1, y - 1, text, pos);
    }
    canvas.setFontColor(kvColor(textColor));
    KvTextOut(canvas, x, y, text, pos);
    canvas.setFontColor(saved);
}

void KvTextOutMultiLine3D(KvCanvas& canvas, int32_t x, int32_t y, int32_t spacing, TColor color1, TColor color2,
                          TColor textColor, const QString& text, toPos pos, bool is3D) {
    multiLine(canvas, y, spacing, text, pos, [&](int32_t lineY, const QString& line) {
        KvTextOut3D(canvas, x, lineY, color1, color2, textColor, line, pos, is3D);
    });
}

void KvRotTextOut(KvCanvas& canvas, TPoint point, float angle, const QString& text, toPos pos) {
    const int32_t w = canvas.textWidth(text);
    const int32_t h = canvas.textHeight(text);
    const int col = pos % 3;
    const int row = pos / 3;
    TPoint shifted = point;
    if (row == 1)
        shifted.y -= h / 2;
    const TPoint at = KvRotate(shifted, point, angle, true);
    const int dx = col == 0 ? 0 : col == 1 ? -w / 2 : -w;
    // Top rows hang from the point; the bottom row stands on its baseline (left) or its bottom.
    const int dy = row < 2 ? canvas.ascent() : col == 0 ? 0 : -canvas.descent();
    QPainter& p = canvas.painter();
    p.save();
    p.translate(at.x, at.y);
    p.rotate(angle);
    p.setPen(canvas.fontColor());
    p.drawText(dx, dy, text);
    p.restore();
}

// ---- geometry ----

int32_t KvMinInt(int32_t a, int32_t b) { return a < b ? a : b; }
int32_t KvMaxInt(int32_t a, int32_t b) { return a > b ? a : b; }
int32_t KvMinMaxInt(int32_t value, int32_t low, int32_t high) { return KvMaxInt(KvMinInt(value, high), low); }

bool KvRectIntersection(const TRect& a, const TRect& b, TRect& r) {
    r = {std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right), std::min(a.bottom, b.bottom)};
    return r.left <= r.right && r.top <= r.bottom;
}

bool KvInRect(int32_t x, int32_t y, const TRect& rect) {
    return rect.left <= x && x < rect.right && rect.top <= y && y <= rect.bottom;
}

bool KvRectIsRect(const TRect& a, const TRect& b) { return a == b; }

bool KvRectInRect(const TRect& a, const TRect& b) {
    return a.left >= b.left && a.top >= b.top && a.right <= b.right && a.bottom <= b.bottom;
}

void KvBorder(TRect& rect, int32_t n) { KvMultiBorder(rect, n, n, n, n); }

void KvMultiBorder(TRect& rect, int32_t left, int32_t top, int32_t right, int32_t bottom) {
    rect.left += left;
    rect.top += top;
    rect.right -= right;
    rect.bottom -= bottom;
}

TPoint KvCenterPoint(const TRect& rect) { return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2}; }

TPoint KvRotate(TPoint point, TPoint centre, float angle, bool clockwise) {
    const float a = angle * 0.017453292519943295f;
    const double c = std::cos(static_cast<double>(a));
    const double s = std::sin(static_cast<double>(a));
    const double dx = point.x - centre.x;
    const double dy = point.y - centre.y;
    if (clockwise)
        return {centre.x + kvRound(dx * c - dy * s), centre.y + kvRound(dy * c + dx * s)};
    return {centre.x + kvRound(dx * c + dy * s), centre.y + kvRound(dy * c - dx * s)};
}

float KvGetAngle(TPoint a, TPoint b) {
    constexpr double kPi = 3.14159265358979323846;
    const double d = b.y - a.y + 0.0001;
    double t = 0;
    if (b.y < a.y)
        t = std::atan((a.x - b.x) / d);
    else if (b.y > a.y)
        t = b.x > a.x ? kPi - std::atan((b.x - a.x) / d) : -std::atan((b.x - a.x) / d) - kPi;
    else
        t = b.x > a.x ? 1.5707964 : -1.5707964;
    return static_cast<float>(180 + 57.29577951308232 * t);
}

int32_t KvGetRadius(const TRect& rect) { return std::min(rect.width(), rect.height()) / 2; }

void KvGetMaxRect(int32_t x, int32_t y, TRect& rect) {
    rect.left = std::min(rect.left, x);
    rect.top = std::min(rect.top, y);
    rect.right = std::max(rect.right, x);
    rect.bottom = std::max(rect.bottom, y);
}

void KvArrowSettings(TPoint& point, int32_t, uint8_t b1, uint8_t b2, uint8_t b3, uint8_t b4) {
    point = {b1 + 256 * b2, b3 + 256 * b4};
}

void GetBkUpImage(const KvCanvas& canvas, QImage& bitmap, const TRect& rect) {
    const QRect clip = canvas.clipBox();
    const TRect box{clip.left(), clip.top(), clip.left() + clip.width(), clip.top() + clip.height()};
    TRect part;
    if (!KvRectIntersection(box, rect, part) || part.width() <= 0 || part.height() <= 0)
        return;
    if (bitmap.size() != QSize(rect.width(), rect.height()))
        bitmap = QImage(rect.width(), rect.height(), canvas.image().format());
    QPainter p(&bitmap);
    p.drawImage(QPoint(part.left - rect.left, part.top - rect.top), canvas.image(),
                QRect(part.left, part.top, part.width(), part.height()));
}

// ---- files ----

int32_t KvExecuteFile(const QString& file, const QString& parameters, const QString& directory, int32_t) {
    constexpr int32_t kShellOk = 33;
    constexpr int32_t kFileNotFound = 2;
    bool ok = false;
    if (parameters.isEmpty())
        ok = QDesktopServices::openUrl(QUrl::fromUserInput(file, directory.isEmpty() ? QDir::currentPath() : directory));
    else
        ok = QProcess::startDetached(file, QProcess::splitCommand(parameters), directory);
    return ok ? kShellOk : kFileNotFound;
}

// ---- hooks ----

void KvBeep() {
    if (const auto hook = beepHook.load())
        hook();
    else if (qApp && qobject_cast<QApplication*>(QCoreApplication::instance()))
        QApplication::beep();
}

KvBeepHook KvSetBeepHook(KvBeepHook hook) { return beepHook.exchange(hook); }

void KvShowError(const QString& text, const QString& caption) {
    if (const auto hook = messageHook.load())
        hook(text, caption);
    else if (qobject_cast<QApplication*>(QCoreApplication::instance()))
        QMessageBox::critical(nullptr, caption, text, QMessageBox::Ok);
    else
        qWarning("%s: %s", qPrintable(caption), qPrintable(text));
}

KvMessageHook KvSetMessageHook(KvMessageHook hook) { return messageHook.exchange(hook); }

} // namespace ostrel::vessolt::controls

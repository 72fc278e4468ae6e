// The drawing procedures: parts of the instrument widgets painted on a KvCanvas.
#include "kvcanvas.h"
#include "kvproc.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace ostrel::vessolt::controls {

namespace {

QColor qc(TColor c) { return kvColor(c); }

void penAndBrush(KvCanvas& canvas, const QColor& color) {
    canvas.setPen(color, 1);
    canvas.setBrush(color);
}

struct Rgb {
    int r = 0, g = 0, b = 0;
};
Rgb rgbOf(TColor c) {
    const TColor v = kvColorToRgb(c);
    return {static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF), static_cast<int>((v >> 16) & 0xFF)};
}

// from + i x diff / n per channel, truncated or rounded.
QColor mixColor(const Rgb& from, const Rgb& diff, double i, double n, bool rounded) {
    auto ch = [&](int f, int d) {
        const double v = f + i * d / n;
        const int c = rounded ? kvRound(v) : static_cast<int>(v);
        return std::clamp(c, 0, 255);
    };
    return QColor(ch(from.r, diff.r), ch(from.g, diff.g), ch(from.b, diff.b));
}

void hLine(KvCanvas& canvas, int y, int w, const QColor& c) {
    canvas.setPen(c, 1);
    canvas.moveTo(0, y);
    canvas.lineTo(w, y);
}
void vLine(KvCanvas& canvas, int x, int h, const QColor& c) {
    canvas.setPen(c, 1);
    canvas.moveTo(x, 0);
    canvas.lineTo(x, h);
}

void gradBands(KvCanvas& canvas, int w, int h, bool vertical, int variant, const Rgb& from, const Rgb& diff, int steps) {
    const int len = vertical ? w : h;
    auto line = [&](int at, const QColor& c) {
        if (vertical)
            vLine(canvas, at, h, c);
        else
            hLine(canvas, at, w, c);
    };
    if (variant == 1) {
        int n = std::min(steps, len);
        const int band = std::max(len / std::max(n, 1), 1);
        n = std::max(len / band, 1);
        for (int i = 0; i <= n; ++i) {
            const QColor c = mixColor(from, diff, i, n, false);
            if (vertical)
                canvas.fillRect(i * band, 0, i * band + band, h, c);
            else
                canvas.fillRect(0, i * band, w, i * band + band, c);
        }
    } else if (variant == 2) {
        const int n = std::max(len / 2, 1);
        line(n, mixColor(from, diff, 0, n, true));
        for (int i = 1; i <= n; ++i) {
            const QColor c = mixColor(from, diff, i, n, true);
            line(n + i, c);
            line(n - i, c);
        }
    } else {
        const int n = std::max(kvRound(len * 0.67), 1);
        const int centre = len / 3;
        line(centre, mixColor(from, diff, 0, n, true));
        for (int i = 1; i <= n; ++i) {
            const QColor c = mixColor(from, diff, i, n, true);
            line(centre + i, c);
            if (centre - i >= 0)
                line(centre - i, c);
        }
    }
}

} // namespace

void KvEllipse3D(KvCanvas& canvas, TRect& rect, TColor color, bool raised) {
    const QColor outer = qc(raised ? clBtnShadow : clBtnHighlight);
    const QColor inner = qc(raised ? clBtnHighlight : clBtnShadow);
    penAndBrush(canvas, outer);
    canvas.ellipse(rect.left, rect.top, rect.right, rect.bottom);
    penAndBrush(canvas, inner);
    canvas.ellipse(rect.left, rect.top, rect.right - 2, rect.bottom - 2);
    rect = {rect.left + 1, rect.top + 1, rect.right - 2, rect.bottom - 2};
    penAndBrush(canvas, qc(color));
    canvas.ellipse(rect.left, rect.top, rect.right, rect.bottom);
}

void KvCircleAtPoint(KvCanvas& canvas, TPoint c, int32_t r, TColor, TColor fill) {
    canvas.setBrush(qc(fill));
    canvas.setPen(qc(clBtnHighlight), 1);
    canvas.ellipse(c.x - r, c.y - r, c.x + r + 1, c.y + r + 1);
    // The shadow on the lower-right half: counter-clockwise from the lower-left ray to the upper-right.
    canvas.setPen(qc(clBtnShadow), 1);
    canvas.arc(c.x - r, c.y - r, c.x + r + 1, c.y + r + 1, c.x - r, c.y + r + 1, c.x + r + 2, c.y - r);
}

void Kv3DEllipse(KvCanvas& canvas, TPoint, TPoint c, int32_t rx, int32_t ry, TColor color, bool, bool ring) {
    if (2 * rx < 1 || 2 * ry < 1)
        return;
    QImage work = kvWorkBitmap(2 * rx, 2 * ry);
    QRect source = work.rect();
    {
        KvCanvas w(work);
        if (ring) {
            source.adjust(1, 1, 1, 1);
            w.clearBrush();
            w.setPen(qc(color), 2);
            w.ellipse(source.left(), source.top(), source.right() + 1, source.bottom() + 1);
        }
    }
    const KvClipKeeper keep(canvas);
    canvas.setClipEllipse(c.x - rx, c.y - ry, c.x + rx, c.y + ry);
    canvas.copyRect(QRect(c.x - rx, c.y - ry, 2 * rx, 2 * ry), work, source);
}

void KvThumb(KvCanvas& canvas, TPoint c, int32_t s, int32_t, bool vertical, TColor color) {
    const int hw = vertical ? s / 2 : kvRound(s * 0.2);
    const int hh = vertical ? kvRound(s * 0.2) : s / 2;
    TRect r{c.x - hw, c.y - hh, c.x + hw + 1, c.y + hh + 1};
    penAndBrush(canvas, qc(clBtnFace));
    canvas.rectangle(r.left, r.top, r.right, r.bottom);
    const QColor dark = qc(color == clBtnShadow ? clBtnShadow : clBlack);
    canvas.frame3D(r.left, r.top, r.right, r.bottom, qc(clBtnShadow), dark, 1);
    canvas.frame3D(r.left, r.top, r.right, r.bottom, qc(clBtnHighlight), qc(clBtnShadow), 1);
    KvBorder(r, s / 25);
    canvas.setPen(dark, 1);
    canvas.setBrush(qc(color));
    canvas.rectangle(r.left, r.top, r.right, r.bottom);
}

bool KvInCircle(int32_t x, int32_t y, const TRect& rect) {
    const TPoint c = KvCenterPoint(rect);
    const double d = std::hypot(static_cast<double>(x - c.x), static_cast<double>(y - c.y));
    return d * 2 <= rect.width();
}

TRect KvMakeSquare(const TRect& rect) {
    const int32_t side = std::min(rect.width(), rect.height());
    return {rect.left, rect.top, rect.left + side, rect.top + side};
}

TRect KvMakeCenterSquare(const TRect& rect) {
    const int32_t side = std::min(rect.width(), rect.height());
    const int32_t left = rect.left + (rect.width() - side) / 2;
    const int32_t top = rect.top + (rect.height() - side) / 2;
    return {left, top, left + side, top + side};
}

void KvBtnBevel(KvCanvas& canvas, TRect& rect, bool raised, bool fill, TColor color) {
    if (fill) {
        penAndBrush(canvas, qc(color));
        canvas.rectangle(rect.left, rect.top, rect.right, rect.bottom);
    }
    const QColor light(210, 210, 210);
    const QColor black = qc(clBlack);
    if (raised) {
        canvas.frame3D(rect.left, rect.top, rect.right, rect.bottom, qc(clBtnHighlight), black, 1);
        canvas.frame3D(rect.left, rect.top, rect.right, rect.bottom, light, qc(clBtnShadow), 1);
    } else {
        canvas.frame3D(rect.left, rect.top, rect.right, rect.bottom, black, qc(clBtnHighlight), 1);
        canvas.frame3D(rect.left, rect.top, rect.right, rect.bottom, qc(clBtnShadow), light, 1);
    }
}

void KvCircleGradFill(KvCanvas& canvas, const TRect& rect, TColor from, TColor to) {
    if (rect.width() <= 0 || rect.height() <= 0)
        return;
    const Rgb f = rgbOf(from);
    const Rgb t = rgbOf(to);
    const Rgb diff{t.r - f.r, t.g - f.g, t.b - f.b};
    const int d = kvRound(rect.width() * 0.22);
    const int steps = std::max(2 * (rect.width() - d), 1);
    const KvClipKeeper keep(canvas);
    canvas.setClipEllipse(rect.left, rect.top, rect.right, rect.bottom);
    for (int i = 0; i <= steps; ++i) {
        canvas.setPen(mixColor(f, diff, i, steps, true), 1);
        canvas.moveTo(rect.left + d - 1 + i, rect.top);
        canvas.lineTo(rect.left - 1, rect.top + d + i);
    }
}

void KvGradFill(KvCanvas& canvas, const TRect& rect, TColor from, TColor to, TGradientStyle style) {
    const int w = rect.width();
    const int h = rect.height();
    if (w <= 0 || h <= 0)
        return;
    QImage work = kvWorkBitmap(w, h);
    const Rgb f = rgbOf(from);
    const Rgb t = rgbOf(to);
    if (kvColorToRgb(from) == kvColorToRgb(to)) {
        work.fill(qc(from));
        canvas.stretchDraw(rect.left, rect.top, rect.right, rect.bottom, work);
        return;
    }
    const Rgb diff{t.r - f.r, t.g - f.g, t.b - f.b};
    const int steps = std::max({std::abs(diff.r), std::abs(diff.g), std::abs(diff.b), 1});
    {
        KvCanvas wc(work);
        wc.setPen(qc(from), 1);
        wc.setBrush(qc(from));
        switch (style) {
        case gsHorizontal1:
        case gsHorizontal2:
        case gsHorizontal3:
            gradBands(wc, w, h, false, style - gsHorizontal1 + 1, f, diff, steps);
            break;
        case gsVertical1:
        case gsVertical2:
        case gsVertical3:
            gradBands(wc, w, h, true, style - gsVertical1 + 1, f, diff, steps);
            break;
        case gsElliptic1:
        case gsElliptic2:
        case gsElliptic3: {
            work.fill(qc(to));
            const double k = style == gsElliptic1 ? 0.5 : style == gsElliptic2 ? 0.695 : 0.82;
            int cx = w / 2;
            int cy = h / 2;
            if (style == gsElliptic3) {
                cx -= w / 4 - 1;
                cy -= h / 4 - 1;
            }
            const double rx = static_cast<double>(w) / steps * k;
            const double ry = static_cast<double>(h) / steps * k;
            for (int i = steps; i >= 1; --i) {
                const int a = kvRound(i * rx);
                const int b = kvRound(i * ry);
                penAndBrush(wc, mixColor(f, diff, i, steps, true));
                wc.ellipse(cx - a, cy - b, cx + a, cy + b);
            }
            break;
        }
        case gsRectangle: {
            work.fill(qc(to));
            const int cx = w / 2;
            const int cy = h / 2;
            for (int i = steps; i >= 1; --i) {
                const int ex = kvRound(static_cast<double>(i) * w / steps / 2);
                const int ey = kvRound(static_cast<double>(i) * h / steps / 2);
                wc.fillRect(cx - ex, cy - ey, cx + ex + 1, cy + ey + 1, mixColor(f, diff, i, steps, true));
            }
            break;
        }
        case gsDiamond1:
        case gsDiamond2: {
            work.fill(qc(to));
            const int longer = std::max(w, h);
            const int n = std::max(std::max(style == gsDiamond1 ? longer / 2 : longer, steps), 1);
            const double div = style == gsDiamond1 ? 2.0 : 1.0;
            const double dx = static_cast<double>(w) / n / div;
            const double dy = static_cast<double>(h) / n / div;
            const int cx = w / 2;
            const int cy = h / 2;
            for (int i = n; i >= 1; --i) {
                const int a = kvRound(i * dx);
                const int b = kvRound(i * dy);
                wc.setPen(mixColor(f, diff, i, n, true), 1);
                wc.polyline({{cx, cy - b}, {cx + a, cy}, {cx, cy + b}, {cx - a, cy}, {cx, cy - b}});
            }
            wc.setPixel(cx, cy, qc(from));
            break;
        }
        case gsTopLeft:
        case gsTopRight: {
            const int m = std::max(std::max(w, h), 1);
            const double sr = static_cast<double>(diff.r) / m;
            const double sg = static_cast<double>(diff.g) / m;
            const double sb = static_cast<double>(diff.b) / m;
            auto at = [&](double k) {
                return QColor(std::clamp(f.r + kvRound(k * sr), 0, 255), std::clamp(f.g + kvRound(k * sg), 0, 255),
                              std::clamp(f.b + kvRound(k * sb), 0, 255));
            };
            const bool left = style == gsTopLeft;
            for (int i = 0; i <= m; ++i) {
                const int x = kvRound(static_cast<double>(i) * w / m);
                const int y = kvRound(static_cast<double>(i) * h / m);
                wc.setPen(at(i / 2.0), 1);
                wc.moveTo(left ? 0 : w, y);
                wc.lineTo(left ? x : w - x, -1);
                wc.setPen(at(m - i / 2.0), 1);
                wc.moveTo(left ? w : 0, h - y);
                wc.lineTo(left ? w - x : x, h);
            }
            break;
        }
        }
    }
    canvas.stretchDraw(rect.left, rect.top, rect.right, rect.bottom, work);
}

void KvDrawLED(KvCanvas& canvas, const TRect& r, TLEDShape shape, TColor border, TColor fill) {
    canvas.setPen(qc(border), 1);
    canvas.setBrush(qc(fill));
    const int w = r.width();
    const int h = r.height();
    auto poly = [&](std::vector<QPoint> points) { canvas.polygon(points); };
    switch (shape) {
    case sRound: {
        canvas.ellipse(r.left, r.top, r.right, r.bottom);
        TRect glint = r;
        KvBorder(glint, w / 5);
        canvas.setPen(qc(clBtnHighlight), std::max(w / 8, 1));
        // Counter-clockwise from the top to the left: a quarter on the upper left, not three quarters.
        canvas.arc(glint.left, glint.top, glint.right, glint.bottom, r.left + w / 2, r.top, r.left, r.top + h / 2);
        break;
    }
    case sArrowLeft:
        poly({{r.left, r.top + h / 2}, {r.right - 1, r.top}, {r.right - 1, r.bottom - 1}});
        break;
    case sArrowRight:
        poly({{r.left, r.top}, {r.right - 1, r.top + h / 2}, {r.left, r.bottom - 1}});
        break;
    case sArrowUp:
        poly({{r.left + w / 2, r.top}, {r.right - 1, r.bottom - 1}, {r.left, r.bottom - 1}});
        break;
    case sArrowDown:
        poly({{r.left, r.top}, {r.right - 1, r.top}, {r.left + w / 2, r.bottom - 1}});
        break;
    case sRectangle:
        canvas.roundRect(r.left, r.top, r.right, r.bottom, 1, 1);
        break;
    case sDiamondLeft:
        poly({{r.left, r.top}, {r.left + w / 2, r.top}, {r.right, r.bottom}, {r.left + w / 2, r.bottom}});
        break;
    case sDiamondRight:
        poly({{r.left + w / 2, r.top}, {r.right, r.top}, {r.left + w / 2, r.bottom}, {r.left, r.bottom}});
        break;
    }
}

void KvRoundSector(KvCanvas& canvas, const TRect& rect, float angle1, float angle2) {
    const TPoint c = KvCenterPoint(rect);
    const TPoint top{c.x, rect.top};
    const TPoint start = KvRotate(top, c, angle2, true);
    const TPoint end = KvRotate(top, c, angle1, true);
    canvas.pie(rect.left, rect.top, rect.right, rect.bottom, start.x, start.y, end.x, end.y);
}

void KvHorizScala(KvCanvas& canvas, const QString& labels, TRect& rect, int32_t main, int32_t sub, bool labelsFirst) {
    if (static_cast<int64_t>(main) * sub <= 0)
        return;
    int32_t maxW = 0;
    int32_t th = 0;
    KvGetMaxTokenSize(canvas, maxW, th, labels);
    const int32_t unit = (rect.width() - maxW) / (main * sub);
    const int32_t step = unit * sub;
    const int32_t left = rect.left + (rect.width() - step * main) / 2;
    const int pw = std::max(th / 8, 1);
    int32_t labelRow = 0, mainTop = 0, subTop = 0, base = 0, bottom = rect.bottom;
    if (labelsFirst) {
        labelRow = rect.top + 1;
        mainTop = labelRow + th + 3;
        subTop = mainTop + th / 3;
        base = subTop + th / 3;
        bottom = mainTop + th - 2;
    } else {
        base = rect.top + 1;
        subTop = base + 7;
        mainTop = subTop + 7;
        labelRow = mainTop + 3;
    }
    const QColor colour = canvas.pen().color();
    canvas.setPen(colour, pw);
    canvas.moveTo(left, base);
    canvas.lineTo(left + main * step, base);
    QString items = labels;
    auto mainTick = [&](int32_t x) {
        canvas.setPen(colour, pw);
        canvas.moveTo(x, mainTop);
        canvas.lineTo(x, base);
        KvTextOut(canvas, x, labelRow, KvStrToken(items, u';'), toTopCenter);
    };
    for (int32_t i = 0; i < main; ++i) {
        const int32_t x = left + i * step;
        mainTick(x);
        canvas.setPen(colour, 1);
        for (int32_t j = 0; j < sub; ++j) {
            canvas.moveTo(x + j * unit, subTop);
            canvas.lineTo(x + j * unit, base);
        }
    }
    mainTick(left + main * step);
    rect = {left, mainTop, left + step * main, bottom};
}

void KvDrawHPointer(KvCanvas& canvas, const TRect& rect, int32_t position, int32_t halfWidth, int32_t height, bool) {
    const int32_t tip = rect.left + kvRound(static_cast<double>(position) * rect.width() / 1000.0);
    canvas.polygon({{tip, rect.top}, {tip - halfWidth, rect.top + height}, {tip + halfWidth, rect.top + height}});
}

int32_t CalcTotalDigit(int32_t a, int32_t b) { return a >= 0 && b <= 0 ? 0 : b - a; }

void KvArrowDraw(KvCanvas& canvas, float angle, std::span<const TPoint> source, std::span<TPoint> target,
                 bool clockwise) {
    if (source.size() < 2 || target.size() < 2)
        return;
    target[0] = source[0];
    target[1] = source[1];
    const size_t last = std::min<size_t>({static_cast<size_t>(source[0].x & 0xFF), source.size() - 1, target.size() - 1});
    std::vector<QPoint> points;
    for (size_t i = 2; i <= last; ++i) {
        target[i] = KvRotate(source[i], source[1], angle, clockwise);
        points.emplace_back(target[i].x, target[i].y);
    }
    canvas.polygon(points);
}

} // namespace ostrel::vessolt::controls

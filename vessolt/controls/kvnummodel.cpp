#include "kvnummodel.h"

#include "kvproc.h"

#include <array>
#include <cmath>
#include <limits>

namespace ostrel::vessolt::controls {

namespace {

constexpr long double kIntLowest = -2147483647.0L;
constexpr long double kIntHighest = 2147483647.0L;
constexpr long double kFloatHighest = 1.7E308L;
constexpr float kSingleHighest = 3.4E38f;

struct BaseDescriptor {
    QString allowed;
    bool exponent = false;
    bool suffix = false;
    QString signs;
    long double lowest = 0;
    long double highest = 0;
};

BaseDescriptor descriptorOf(TEditBase base, const KvSeparators& sep) {
    switch (base) {
    case ebBin: return {QStringLiteral("01"), false, false, {}, kIntLowest, kIntHighest};
    case ebHex: return {QStringLiteral("0123456789abcdefABCDEF"), false, false, {}, kIntLowest, kIntHighest};
    case ebInt:
        return {QStringLiteral("0123456789") + sep.thousand, false, true, QStringLiteral("+-"), kIntLowest, kIntHighest};
    case ebFloat:
    default:
        // Symmetric bounds: an unbounded low end let "-1E300E" become minus infinity.
        return {QString(sep.decimal) + sep.thousand + QStringLiteral("0123456789"), true, true, QStringLiteral("+-"),
                -kFloatHighest, kFloatHighest};
    }
}

constexpr QStringView kBasePrefixes = u"$%&!";
constexpr QStringView kSuffixes = u"EPTGMkmunpfa";
// Exact decimal factors: as singles "1m" would come out as 0.0010000000475.
constexpr std::array<long double, 12> kSuffixFactors = {1E18L, 1E15L, 1E12L, 1E9L, 1E6L, 1E3L,
                                                        1E-3L, 1E-6L, 1E-9L, 1E-12L, 1E-15L, 1E-18L};

TEditBase baseOfPrefix(QChar c, TEditBase fallback) {
    switch (c.unicode()) {
    case u'!': return ebFloat;
    case u'$': return ebHex;
    case u'%': return ebInt;
    case u'&': return ebBin;
    default: return fallback;
    }
}

} // namespace

KvNumModel::KvNumModel(KvNumHost* host, KvSeparators separators)
    : host_(&noHost_), separators_(separators), text_(QStringLiteral("0")) {
    CheckEdit(true);
    host_ = host ? host : &noHost_;
}

void KvNumModel::edited(const QString& text) {
    text_ = text;
    CheckEdit(valueAsBool_.isEmpty());
}

void KvNumModel::loaded() {
    if (!NotLoaded)
        return;
    lastText_ = text_;
    NotLoaded = false;
}

void KvNumModel::SetValue(double v) {
    if (std::isnan(v) || v == value_)
        return;
    SetText(CheckValue(v));
}

double KvNumModel::CheckValue(double v) {
    double result = v;
    if (options_.contains(eoLimitMin)) {
        setLimitLo(v <= minValue_);
        if (v <= minValue_)
            result = minValue_;
    }
    if (options_.contains(eoLimitMax)) {
        setLimitUp(v >= maxValue_);
        if (v >= maxValue_)
            result = maxValue_;
    }
    return result;
}

bool KvNumModel::refuse(int first, int last) {
    SetState(esError);
    host_->markError(first, last - first + 1);
    return false;
}

bool KvNumModel::CheckEdit(bool apply) {
    const QString& t = text_;
    if (t.isEmpty()) {
        SetState(esEditing);
        return true;
    }
    int start = 0;
    int stop = static_cast<int>(t.size()) - 1;
    int firstError = -1;
    int lastError = -1;
    long double factor = 1.0L;
    TEditBase base = editBase_;
    if (kBasePrefixes.contains(t[0])) {
        start = 1;
        base = baseOfPrefix(t[0], editBase_);
    }
    const BaseDescriptor d = descriptorOf(base, separators_);
    if (d.suffix && stop >= start) {
        if (const auto s = kSuffixes.indexOf(t[stop]); s >= 0) {
            factor = kSuffixFactors[static_cast<std::size_t>(s)];
            if (base == ebFloat || factor > 1.0L)
                --stop;
            else
                factor = 1.0L;
        }
    }
    QString number = t.mid(start, std::max(0, stop - start + 1));
    auto markBad = [&](int i) {
        if (firstError < 0)
            firstError = i;
        lastError = std::max(lastError, i);
    };
    if (!number.isEmpty()) {
        int i = start;
        if (d.signs.contains(t[i]))
            ++i;
        int exponentAt = -1;
        for (; i <= stop; ++i) {
            if (d.exponent && (t[i] == u'E' || t[i] == u'e')) {
                exponentAt = i;
                break;
            }
            if (!d.allowed.contains(t[i]))
                markBad(i);
        }
        if (exponentAt >= 0) {
            int j = exponentAt + 1;
            if (j <= stop && d.signs.contains(t[j]))
                ++j;
            for (; j <= stop; ++j)
                if (!d.allowed.contains(t[j]))
                    markBad(j);
        }
        int separators = 0;
        for (int k = start; k <= stop; ++k)
            if (t[k] == separators_.decimal && ++separators > 1)
                markBad(k);
    }
    if (firstError >= 0)
        return refuse(firstError, lastError);

    SetState(t != lastText_ && !apply ? esEditing : esNormal);

    if (!number.isEmpty() && QStringView(d.signs).contains(number))
        number += u'0';
    if (d.exponent && (number.startsWith(u'E') || number.startsWith(u'e')))
        number.prepend(u'1');
    if (d.suffix && factor != 1.0L && number.isEmpty())
        number = QStringLiteral("1");
    number = KvRemoveSign(number, separators_.thousand);

    long double value = 0;
    if (!number.isEmpty()) {
        switch (base) {
        case ebBin: value = KvBinToInt(number); break;
        case ebHex: {
            const auto v = StrToInt(u'$' + number);
            if (!v)
                return refuse(start, stop);
            value = *v;
            break;
        }
        case ebFloat: {
            const auto v = StrToFloat(number, separators_);
            if (!v)
                return refuse(start, stop);
            value = *v;
            break;
        }
        case ebInt: {
            const auto v = StrToInt(number);
            if (!v)
                return refuse(start, stop);
            value = *v;
            break;
        }
        }
    }
    if (factor != 1.0L)
        value *= factor;
    if (apply)
        SetText(CheckValue(static_cast<double>(value)));
    return true;
}

QString KvNumModel::textOfValue() const {
    switch (editBase_) {
    case ebBin: return valueAsBool_;
    case ebHex: return valueAsHex_;
    case ebInt: return QString::number(valueAsInt_);
    case ebFloat:
    default: return FormatFloat(formatStr_, value_, separators_);
    }
}

void KvNumModel::SetText(long double v) {
    const BaseDescriptor d = descriptorOf(editBase_, separators_);
    if (v < d.lowest)
        v = d.lowest;
    if (v > d.highest)
        v = d.highest;
    if (v > kSingleHighest)
        valueAsSingle_ = kSingleHighest;
    else if (v < -kSingleHighest)
        valueAsSingle_ = -kSingleHighest;
    else
        valueAsSingle_ = static_cast<float>(v);
    if (v > kIntHighest)
        valueAsInt_ = static_cast<int32_t>(kIntHighest);
    else if (v < kIntLowest)
        valueAsInt_ = static_cast<int32_t>(kIntLowest);
    else
        valueAsInt_ = kvRound(static_cast<double>(v));
    value_ = static_cast<double>(v);
    valueAsHex_ = QString::number(static_cast<uint32_t>(valueAsInt_), 16).toUpper();
    while (valueAsHex_.size() < digitsHex_)
        valueAsHex_.prepend(u'0');
    valueAsBool_ = KvIntToBin(valueAsInt_, digitsBool_);
    putText(textOfValue());
    SetState(esNormal);
    const bool changed = text_ != lastText_;
    lastText_ = text_;
    if (!NotLoaded && changed)
        host_->valueChanged();
}

void KvNumModel::putText(const QString& text) {
    text_ = text;
    host_->showText(text_);
}

void KvNumModel::SetState(TNumEditState s) {
    if (s == state_)
        return;
    state_ = s;
    host_->stateChanged(s);
    if (s == esError)
        host_->beep();
}

void KvNumModel::setLimitUp(bool on) {
    if (on == limitUp_)
        return;
    limitUp_ = on;
    host_->limitChanged();
}

void KvNumModel::setLimitLo(bool on) {
    if (on == limitLo_)
        return;
    limitLo_ = on;
    host_->limitChanged();
}

void KvNumModel::step(bool up) {
    if (host_->readOnly() || (up ? limitUp_ : limitLo_)) {
        host_->beep();
        return;
    }
    const double increment = increment_;
    double next = 0;
    if (options_.contains(eoMultiply) && editBase_ == ebFloat && increment != 0 && value_ != 0)
        next = up ? value_ * increment : value_ / increment;
    else
        next = up ? value_ + increment : value_ - increment;
    SetValue(CheckValue(next));
    host_->stepped();
}

void KvNumModel::UpClick() { step(true); }
void KvNumModel::DownClick() { step(false); }

bool KvNumModel::restore() {
    if (state_ == esNormal)
        return false;
    putText(textOfValue());
    SetState(esNormal);
    return true;
}

bool KvNumModel::commit() {
    if (text_.isEmpty())
        putText(QStringLiteral("0"));
    return CheckEdit(true);
}

void KvNumModel::SetEditBase(TEditBase b) {
    if (b == editBase_)
        return;
    editBase_ = b;
    putText(textOfValue());
    lastText_ = text_;
    SetState(esNormal);
}

void KvNumModel::SetMinValue(double v) {
    if (v == minValue_)
        return;
    minValue_ = v;
    CheckEdit(true);
}

void KvNumModel::SetMaxValue(double v) {
    if (v == maxValue_)
        return;
    maxValue_ = v;
    CheckEdit(true);
}

void KvNumModel::SetOptions(TNumEditOptions o) {
    if (o == options_)
        return;
    options_ = o;
    CheckEdit(true);
}

void KvNumModel::SetFormatStr(const QString& f) {
    if (f == formatStr_)
        return;
    formatStr_ = f;
    if (editBase_ == ebFloat)
        putText(FormatFloat(formatStr_, value_, separators_));
    CheckEdit(true);
}

void KvNumModel::SetValueAsBool(const QString& s) {
    if (s == text_)
        return;
    putText(editBase_ == ebBin ? s : u'&' + s);
    CheckEdit(true);
}

void KvNumModel::SetValueAsHex(const QString& s) {
    if (s == text_)
        return;
    putText(editBase_ == ebHex ? s : u'$' + s);
    CheckEdit(true);
}

void KvNumModel::SetValueAsInt(int32_t i) {
    if (QString::number(i) == text_)
        return;
    SetText(i);
}

void KvNumModel::SetValueAsSingle(float f) {
    if (FormatFloat(formatStr_, f, separators_) == text_)
        return;
    SetText(f);
}

} // namespace ostrel::vessolt::controls

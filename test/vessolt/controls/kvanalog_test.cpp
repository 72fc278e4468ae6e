#include "kvanalog.h"

#include <QApplication>
#include <QKeyEvent>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace ostrel::vessolt::controls;

TEST(TSignalSettings, SettersAndDerivedFactors) {
    TSignalSettings s;
    EXPECT_EQ(s.GetPPT(50), 0);  // no factors before the first change
    s.Change();
    EXPECT_FLOAT_EQ(s.ValuePerDigit, 0.1f);
    EXPECT_FLOAT_EQ(s.DigitPerValue, 10.0f);
    EXPECT_EQ(s.GetPPT(50), 500);
    EXPECT_FLOAT_EQ(s.GetValue(250), 25.0f);

    s.SetValueFrom(10);
    s.SetValueFrom(0);
    EXPECT_FLOAT_EQ(s.ValueFrom(), 1e-6f);
    s.SetValueFrom(100);  // equal to ValueTo: the range cannot collapse
    EXPECT_FLOAT_EQ(s.ValueFrom(), 1e-6f);

    TSignalSettings neg;
    neg.SetValueFrom(-100);
    neg.SetValueTo(-10);
    EXPECT_FLOAT_EQ(neg.ValueSpan, 90.0f);
    neg.SetValueTo(0);
    EXPECT_FLOAT_EQ(neg.ValueTo(), 0.0f);
    EXPECT_FLOAT_EQ(neg.ValueSpan, 100.0f);

    // Reversed ranges keep the span and every factor of the last valid range.
    for (auto [from, to] : {std::pair{100.0f, 0.0f}, std::pair{-10.0f, -100.0f}}) {
        TSignalSettings r;
        r.SetValueFormat("0.00");
        if (from > 0)
            r.SetValueTo(150);
        r.SetValueFrom(from);
        const float span = r.ValueSpan, vpd = r.ValuePerDigit, dpv = r.DigitPerValue, ppt = r.PPTFactor;
        ASSERT_GT(span, 0.0f);
        r.SetValueFormat("0.0;0.000");
        r.SetValueTo(to);
        EXPECT_EQ(r.ValueFrom(), from);
        EXPECT_EQ(r.ValueTo(), to);
        EXPECT_EQ(r.ValueSpan, span);
        EXPECT_EQ(r.ValuePerDigit, vpd);
        EXPECT_EQ(r.DigitPerValue, dpv);
        EXPECT_EQ(r.PPTFactor, ppt);
        EXPECT_EQ(r.FormatText, "0.000");  // taken while the range was still valid
        EXPECT_EQ(r.GetPPT(from), 0);
    }

    // While the range is reversed a new format and a new digit range still take effect, and the two
    // digit factors stay each other's inverse.
    TSignalSettings edited;
    edited.SetValueFrom(200);
    edited.SetValueFormat("0.0;0.000");
    edited.SetDigitalTo(500);
    EXPECT_EQ(edited.FormatText, "0.000");
    EXPECT_FLOAT_EQ(edited.ValuePerDigit * edited.DigitPerValue, 1.0f);

    // Without digits the value factors still follow the range and the format.
    TSignalSettings noDigits;
    noDigits.SetDigitalTo(0);
    noDigits.SetValueTo(200);
    noDigits.SetValueFormat("0.000");
    EXPECT_FLOAT_EQ(noDigits.PPTFactor, 5.0f);
    EXPECT_EQ(noDigits.FormatText, "0.000");

    EXPECT_EQ(TSignalSettings::KvGetValueFormat("0.0;0.00"), "0.00");
    EXPECT_EQ(TSignalSettings::KvGetValueFormat("0.0;-0.0"), "-0.0");
    EXPECT_EQ(TSignalSettings::KvGetValueFormat("##0.0"), "##0.0");
    EXPECT_EQ(TSignalSettings::KvGetValueFormat("0.0;0.1"), "0.1");

    TSignalSettings copy;
    int changes = 0;
    copy.OnChange = [&](KvSender*) { ++changes; };
    TSignalSettings src;
    src.SetDigitalTo(500);
    src.SetValueUnit("V");
    src.SetName1("Volts");
    copy.assign(src);
    EXPECT_EQ(copy.DigitalTo(), 500);
    EXPECT_EQ(copy.ValueUnit(), "V");
    EXPECT_EQ(copy.Name1(), "Volts");
    EXPECT_EQ(changes, 3);
}

TEST(TChSettings, DigitsAndValues) {
    TChSettings ch;
    ch.Change();
    int valueEvents = 0, changes = 0;
    ch.OnValueChange = [&](KvSender*) { ++valueEvents; };
    ch.OnChange = [&](KvSender*) { ++changes; };
    ch.SetValue(25);
    EXPECT_EQ(ch.Digit(), 250);
    EXPECT_EQ(ch.AbsDigit(), 250);
    ch.SetDigit(700);
    EXPECT_FLOAT_EQ(ch.Value(), 70.0f);
    ch.SetDigit(700);
    EXPECT_EQ(valueEvents, 2);
    EXPECT_EQ(changes, 0);
    EXPECT_FLOAT_EQ(ch.AbsDigitToValue(100), 10.0f);

    TMinMax mm;
    EXPECT_EQ(mm.Min(), TMinMax::kNoMin);
    EXPECT_EQ(mm.Max(), TMinMax::kNoMax);
    const QDateTime before = mm.MinDateTime;
    mm.SetMin(3);
    EXPECT_EQ(mm.Min(), 3.0f);
    EXPECT_GE(mm.MinDateTime, before);
}

namespace {

struct GaugeEvents {
    std::vector<std::pair<bool, bool>> limits;
    std::vector<int> overflows;
    std::vector<std::array<bool, 4>> sectors;
    int minMax = 0;
    void attach(TKvAnalogGControl& g) {
        g.OnLimit = [this](auto*, bool lower, bool upper) { limits.emplace_back(lower, upper); };
        g.OnOverflow = [this](auto*, int ppt) { overflows.push_back(ppt); };
        g.OnSectorChange = [this](auto*, bool a, bool b, bool c, bool enter) { sectors.push_back({a, b, c, enter}); };
        g.OnMinMaxChange = [this](auto*) { ++minMax; };
    }
};

} // namespace

TEST(TKvAnalogGControl, LimitsOverflowSectorsAndExtremes) {
    TKvAnalogGControl g;
    g.loaded();
    GaugeEvents ev;
    ev.attach(g);

    g.SetValue(95);
    EXPECT_EQ(g.Digit(), 950);  // factors exist without any settings change
    ASSERT_EQ(ev.limits.size(), 1u);
    EXPECT_EQ(ev.limits[0], std::make_pair(false, true));
    EXPECT_EQ(g.MinMax().Min(), 95.0f);  // first value: silent
    EXPECT_EQ(g.MinMax().Max(), 95.0f);
    EXPECT_EQ(ev.minMax, 0);
    ev.sectors.clear();
    g.SetValue(96);
    EXPECT_EQ(ev.limits.size(), 1u);
    EXPECT_EQ(ev.minMax, 1);  // a new maximum

    g.SetValue(150);
    EXPECT_EQ(ev.overflows, std::vector<int>({1500}));
    EXPECT_EQ(g.PPT, 1000);
    EXPECT_TRUE(g.Overflow);
    g.SetValue(160);
    EXPECT_EQ(ev.overflows.size(), 1u);
    g.SetValue(50);
    EXPECT_EQ(ev.overflows, std::vector<int>({1500, 500}));
    EXPECT_FALSE(g.Overflow);

    ev.sectors.clear();
    const int before = ev.minMax;
    g.SetValue(40);
    EXPECT_TRUE(ev.sectors.empty());
    EXPECT_EQ(ev.minMax, before + 1);  // a new minimum
    g.SetValue(30);
    ASSERT_EQ(ev.sectors.size(), 2u);
    EXPECT_EQ(ev.sectors[0], (std::array<bool, 4>{true, false, false, true}));
    EXPECT_EQ(ev.sectors[1], (std::array<bool, 4>{false, true, false, false}));
    EXPECT_EQ(g.SectorColor, g.SectorSettings().Sector1Color());
    EXPECT_EQ(g.MinPPT, 300);
    EXPECT_EQ(g.MaxPPT, 1000);

    g.SetLimitLower(0);
    EXPECT_FLOAT_EQ(g.LimitLower(), 0.0001f);
    g.SetValue(-20);
    EXPECT_EQ(ev.overflows.back(), -200);
    EXPECT_TRUE(g.Underflow);
    EXPECT_EQ(ev.limits.back(), std::make_pair(true, false));

    // A settings change re-derives the digit from the value.
    g.SignalSettings().SetDigitalTo(2000);
    EXPECT_EQ(g.Digit(), -400);
}

TEST(TKvAnalogGControl, LogScaleHintAndEmptyDigitRange) {
    TKvAnalogGControl g;
    g.loaded();
    g.SetLogScale(true);
    EXPECT_FLOAT_EQ(g.SignalSettings().ValueFrom(), 0.001f);
    EXPECT_FLOAT_EQ(g.SignalSettings().ValueTo(), 100.0f);
    g.SetValue(10);
    EXPECT_EQ(g.Digit(), 800);
    g.SetDigit(600);
    EXPECT_NEAR(g.Value(), 1.0f, 1e-5f);
    g.SetValue(0);
    g.SetValue(-1);
    EXPECT_NEAR(g.Value(), 1.0f, 1e-5f);
    EXPECT_EQ(g.Digit(), 600);

    TKvAnalogGControl h;
    h.loaded();
    h.SetHintOptions({hoAutoHint, hoValue, hoName1});
    h.SetValue(49);
    h.SetValue(50);
    EXPECT_EQ(h.Hint(), "Value= 50.0 %\rSignalName1");
    EXPECT_EQ(h.toolTip(), "Value= 50.0 %\nSignalName1");
    h.SetHintOptions({hoAutoHint, hoMax, hoMinMaxTime});
    h.SetValue(60);
    EXPECT_TRUE(h.Hint().startsWith("MAX= 60.0 % ")) << h.Hint().toStdString();
    EXPECT_EQ(h.Hint().size(), QString("MAX= 60.0 % hh:mm:ss").size());

    TKvAnalogGControl z;
    z.loaded();
    z.SignalSettings().SetDigitalTo(0);
    z.SetValue(70);
    EXPECT_EQ(z.PPT, 0);

    // Range ends round to decades.
    TKvAnalogGControl e;
    e.loaded();
    e.SignalSettings().SetValueFrom(12);
    e.SignalSettings().SetValueTo(9000);
    e.SetLogScale(true);
    EXPECT_FLOAT_EQ(e.SignalSettings().ValueFrom(), 10.0f);
    EXPECT_FLOAT_EQ(e.SignalSettings().ValueTo(), 10000.0f);
    EXPECT_NEAR(e.LogFactor, 1000.0 / 3.0, 1e-3);
}

namespace {

// Sliding maps the x position onto the digits.
class Slider : public TKvAnalogCControl {
public:
    Slider() {
        resize(200, 40);
        SlideArea = {0, 0, 100, 40};
    }

protected:
    void MouseSlide(Qt::KeyboardModifiers, int32_t x, int32_t, const TPoint&) override { SetDigit(x * 10); }
};

void key(QWidget& w, int k, bool autoRepeat = false, QEvent::Type type = QEvent::KeyPress) {
    QKeyEvent e(type, k, Qt::NoModifier, QString(), autoRepeat);
    QApplication::sendEvent(&w, &e);
}

void wheel(QWidget& w, int delta) {
    QWheelEvent e(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(&w, &e);
}

} // namespace

TEST(TKvAnalogCControl, KeysWheelMouseAndIndicator) {
    Slider c;
    int changes = 0, gestures = 0;
    c.OnValueChange = [&](auto*) { ++changes; };
    c.OnValueChanged = [&](auto*) { ++gestures; };
    c.SetValue(20);  // while loading: no events
    EXPECT_EQ(changes, 0);
    c.loaded();
    EXPECT_EQ(c.Digit(), 200);
    EXPECT_EQ(c.updateCount(), 0);
    c.Changing = false;

    key(c, Qt::Key_Home);
    EXPECT_EQ(c.Digit(), 0);
    EXPECT_EQ(c.Value(), 0.0f);
    key(c, Qt::Key_End);
    EXPECT_EQ(c.Digit(), 1000);
    EXPECT_FLOAT_EQ(c.Value(), 100.0f);
    c.SetDigit(995);
    key(c, Qt::Key_PageUp);
    EXPECT_EQ(c.Digit(), 1000);
    c.SetValue(50);
    c.SetValue(150);
    EXPECT_EQ(c.Digit(), 1000);
    EXPECT_FLOAT_EQ(c.Value(), 100.0f);

    // A held key: auto-repeated presses and releases, then one real release.
    c.Changing = false;
    gestures = 0;
    c.SetDigit(500);
    key(c, Qt::Key_Down);
    for (int i = 0; i < 3; ++i) {
        key(c, Qt::Key_Down, true, QEvent::KeyRelease);
        key(c, Qt::Key_Down, true);
    }
    key(c, Qt::Key_Down, false, QEvent::KeyRelease);
    EXPECT_EQ(c.Digit(), 496);
    EXPECT_EQ(gestures, 1);
    key(c, Qt::Key_Left);
    key(c, Qt::Key_Left, false, QEvent::KeyRelease);
    EXPECT_EQ(gestures, 2);
    key(c, Qt::Key_A, false, QEvent::KeyRelease);  // nothing changed since
    EXPECT_EQ(gestures, 2);

    c.EnabledKeys.erase(_VK_UP);
    key(c, Qt::Key_Up);
    EXPECT_EQ(c.Digit(), 495);
    key(c, Qt::Key_Right);
    EXPECT_EQ(c.Digit(), 496);
    c.EnableKeyboard = false;
    key(c, Qt::Key_Right);
    EXPECT_EQ(c.Digit(), 496);

    wheel(c, 120);
    EXPECT_EQ(c.Digit(), 497);
    wheel(c, 60);
    EXPECT_EQ(c.Digit(), 497);
    wheel(c, 60);
    EXPECT_EQ(c.Digit(), 498);
    wheel(c, 240);
    EXPECT_EQ(c.Digit(), 500);
    wheel(c, -120);
    EXPECT_EQ(c.Digit(), 499);

    // Mouse: only the left button slides, and only from inside the slide area.
    c.show();
    c.Changing = false;
    gestures = 0;
    QTest::mousePress(&c, Qt::RightButton, {}, QPoint(30, 10));
    QTest::mouseMove(&c, QPoint(40, 10));
    QTest::mouseRelease(&c, Qt::RightButton, {}, QPoint(40, 10));
    EXPECT_EQ(c.Digit(), 499);
    EXPECT_EQ(gestures, 0);
    QTest::mousePress(&c, Qt::LeftButton, {}, QPoint(150, 10));
    QTest::mouseRelease(&c, Qt::LeftButton, {}, QPoint(150, 10));
    EXPECT_EQ(c.Digit(), 499);
    QTest::mousePress(&c, Qt::LeftButton, {}, QPoint(30, 10));
    EXPECT_TRUE(c.Sliding);
    EXPECT_EQ(c.Digit(), 300);
    QTest::mouseMove(&c, QPoint(60, 10));
    QTest::mouseRelease(&c, Qt::LeftButton, {}, QPoint(60, 10));
    EXPECT_EQ(c.Digit(), 600);
    EXPECT_EQ(gestures, 1);
    EXPECT_EQ(c.LastPoint, (TPoint{30, 10}));

    // The indicator mirrors settings and value until it is deleted.
    auto gauge = std::make_unique<TKvAnalogGControl>();
    gauge->loaded();
    c.SignalSettings().SetValueUnit("V");
    c.SetValueIndicator(gauge.get());
    EXPECT_EQ(gauge->SignalSettings().ValueUnit(), "V");
    EXPECT_FLOAT_EQ(gauge->Value(), 60.0f);
    c.SetValue(70);
    EXPECT_FLOAT_EQ(gauge->Value(), 70.0f);
    gauge.reset();
    EXPECT_EQ(c.ValueIndicator(), nullptr);
    c.SetValue(80);
    EXPECT_EQ(c.Digit(), 800);
}

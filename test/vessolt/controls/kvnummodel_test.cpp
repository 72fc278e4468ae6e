#include "kvnummodel.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace ostrel::vessolt::controls;

namespace {

struct RecordingHost : KvNumHost {
    int limits = 0;
    int changes = 0;
    int beeps = 0;
    int errorStart = -1;
    int errorLength = -1;
    void limitChanged() override { ++limits; }
    void valueChanged() override { ++changes; }
    void beep() override { ++beeps; }
    void markError(int start, int length) override {
        errorStart = start;
        errorLength = length;
    }
};

struct Model : ::testing::Test {
    RecordingHost host;
    KvNumModel model{&host, KvSeparators{u'.', u','}};
    // Types the text and presses Enter.
    bool enter(const QString& text) {
        model.edited(text);
        return model.commit();
    }
};

} // namespace

TEST_F(Model, FloatEntriesTakeSuffixesPrefixesAndRepairs) {
    const struct {
        const char* typed;
        double value;
        const char* shown;
    } cases[] = {
        {"2k", 2000, "2000"}, {"k", 1000, "1000"},      {"1E", 1E18, "1E18"},  {"1E5", 1E5, "100000"},
        {"$1F", 31, "31"},    {"e3", 1000, "1000"},     {"-", 0, "0"},         {"1m", 0.001, "0"},
        {"1,000", 1000, "1000"}, {"%7", 7, "7"},        {"&101", 5, "5"},      {"-1E300E", -1.7E308, "-1.7E308"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_TRUE(enter(QString::fromLatin1(c.typed)));
        EXPECT_EQ(model.Value(), c.value);
        EXPECT_EQ(model.text(), QString::fromLatin1(c.shown));
        EXPECT_EQ(model.State(), esNormal);
    }
    EXPECT_EQ(model.ValueAsSingle(), -3.4E38f);  // not minus infinity
}

TEST_F(Model, BadTextIsMarkedAndKeepsTheValue) {
    ASSERT_TRUE(enter("12"));
    const int beepsBefore = host.beeps;
    EXPECT_FALSE(enter("1.2.3.4"));
    EXPECT_EQ(host.errorStart, 3);
    EXPECT_EQ(host.errorLength, 3);
    EXPECT_EQ(model.State(), esError);
    EXPECT_EQ(model.Value(), 12);
    EXPECT_EQ(host.beeps, beepsBefore + 1);

    // Passes the character check, refused by the conversion: an error, not a normal-looking text.
    for (const char* text : {"1e", "1E2.5", "+-"}) {
        SCOPED_TRACE(text);
        ASSERT_TRUE(enter("12"));
        EXPECT_FALSE(enter(QString::fromLatin1(text)));
        EXPECT_EQ(model.State(), esError);
        EXPECT_EQ(model.Value(), 12);
        EXPECT_EQ(model.text(), QString::fromLatin1(text));
    }
}

TEST_F(Model, TypingOnlyColoursUntilCommitted) {
    model.edited("4");
    EXPECT_EQ(model.State(), esEditing);
    EXPECT_EQ(model.Value(), 0);
    model.edited("0");
    EXPECT_EQ(model.State(), esNormal);  // the committed text again
    model.edited("");
    EXPECT_EQ(model.State(), esEditing);
    EXPECT_TRUE(model.commit());
    EXPECT_EQ(model.text(), "0");
    model.edited("77");
    EXPECT_TRUE(model.restore());
    EXPECT_EQ(model.text(), "0");
    EXPECT_EQ(model.State(), esNormal);
    EXPECT_FALSE(model.restore());
}

TEST_F(Model, IntegerAndHexNotations) {
    model.SetEditBase(ebInt);
    EXPECT_TRUE(enter("5k"));
    EXPECT_EQ(model.text(), "5000");
    EXPECT_FALSE(enter("5m"));
    EXPECT_EQ(host.errorStart, 1);
    EXPECT_EQ(host.errorLength, 1);
    EXPECT_TRUE(enter("5G"));
    EXPECT_EQ(model.text(), "2147483647");
    EXPECT_EQ(model.ValueAsInt(), 2147483647);
    EXPECT_FALSE(enter("5E9"));
    EXPECT_EQ(host.errorStart, 1);
    EXPECT_FALSE(enter("99999999999"));  // beyond 32 bits
    EXPECT_EQ(model.ValueAsInt(), 2147483647);
    EXPECT_TRUE(enter("-5G"));
    EXPECT_EQ(model.ValueAsInt(), -2147483647);

    model.SetEditBase(ebHex);
    EXPECT_TRUE(enter("FFFFFFFF"));
    EXPECT_EQ(model.Value(), -1);
    EXPECT_EQ(model.ValueAsHex(), "FFFFFFFF");
    model.SetDigitsHex(4);
    model.SetDigitsBool(8);
    EXPECT_TRUE(enter("5"));
    EXPECT_EQ(model.text(), "0005");
    EXPECT_EQ(model.ValueAsBool(), "000000101");
    model.SetEditBase(ebBin);
    EXPECT_EQ(model.text(), "000000101");
    EXPECT_FALSE(enter("102"));
    model.SetValueAsHex("1F");
    EXPECT_EQ(model.Value(), 31);
    EXPECT_EQ(model.text(), "000011111");
}

TEST_F(Model, LimitsClampAndReportChangesOnce) {
    model.SetMinValue(10);
    model.SetOptions({eoLimitMin});
    EXPECT_EQ(model.text(), "10");
    EXPECT_TRUE(model.LimitLo());
    EXPECT_EQ(host.limits, 1);
    model.SetValue(20);
    EXPECT_FALSE(model.LimitLo());
    EXPECT_EQ(host.limits, 2);
    EXPECT_TRUE(enter("5"));
    EXPECT_EQ(model.text(), "10");
    EXPECT_EQ(host.limits, 3);
    const int beeps = host.beeps;
    model.DownClick();
    EXPECT_EQ(host.beeps, beeps + 1);
    EXPECT_EQ(model.Value(), 10);
    model.UpClick();
    EXPECT_EQ(model.Value(), 11);
    EXPECT_EQ(host.limits, 4);

    model.loaded();
    model.SetValue(11);
    EXPECT_EQ(host.changes, 0);
    model.SetValue(12);
    EXPECT_EQ(host.changes, 1);

    model.SetIncrement(2);
    model.SetMaxValue(48);
    model.SetOptions({eoLimitMin, eoMultiply, eoLimitMax});
    model.UpClick();
    EXPECT_EQ(model.Value(), 24);
    model.UpClick();
    EXPECT_EQ(model.Value(), 48);
    EXPECT_TRUE(model.LimitUp());
}

TEST_F(Model, ValueChangesAreReportedOnlyAfterLoading) {
    model.SetValue(3);
    EXPECT_EQ(host.changes, 0);
    model.loaded();
    model.loaded();
    model.SetValue(4);
    EXPECT_EQ(host.changes, 1);
    model.SetValue(std::nan(""));
    EXPECT_EQ(model.Value(), 4);
}

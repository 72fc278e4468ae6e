#include "expressions/expressions.h"
#include "services/user_prompt.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::vessolt {
namespace {

using V = ExpressionVariable;

long double numeric(const TypedValue& v) {
    switch (v.type) {
    case kTypeChar: return v.value.c;
    case kTypeInt: return v.value.i;
    case kTypeLong: return v.value.l;
    case kTypeUnsignedChar: return v.value.uc;
    case kTypeUnsignedInt: return v.value.ui;
    case kTypeUnsignedLong: return v.value.ul;
    case kTypeFloat: return v.value.f;
    case kTypeDouble: return v.value.d;
    case kTypeLongDouble: return v.value.ld;
    default: return std::numeric_limits<long double>::quiet_NaN();
    }
}

ExpressionVariables sampleVariables() {
    ExpressionVariables vars{};
    vars[V::msgrate] = 5.5f;
    vars[V::tpdodiff] = 123456.75f;
    vars[V::tpdodev] = 5.0f;
    vars[V::ecdev] = 10.0f;
    vars[V::tpdomax] = 3.0f;
    vars[V::tpdomin] = 2.0f;
    vars[V::syncdev] = 7.0f;
    return vars;
}

struct Outcome {
    bool ok = false;
    TypedValue value;
    std::string error;
};

Outcome run(const TExpressions& ex, const char* text, const ExpressionVariables& vars = sampleVariables()) {
    Outcome o;
    char error[200];
    std::memset(error, 'x', sizeof error);
    o.ok = ex.Evaluate(text, vars.data(), &o.value, error, sizeof error);
    o.error = error;
    return o;
}

struct ValueCase {
    const char* text;
    std::uint32_t type;
    long double value;
};

void expectValues(const TExpressions& ex, const std::vector<ValueCase>& cases,
                  const ExpressionVariables& vars = sampleVariables()) {
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(c.text);
        Outcome o = run(ex, c.text, vars);
        ASSERT_TRUE(o.ok) << o.error;
        EXPECT_EQ(o.error, "");
        EXPECT_EQ(o.value.type, c.type);
        EXPECT_EQ(numeric(o.value), c.value);
    }
}

TEST(Expressions, EvaluatesTheLanguageExamplesWithCTypes) {
    TExpressions ex;
    ASSERT_FALSE(ex.NotOperational());
    expectValues(ex, {
        {"msgrate > 2F", kTypeFloat, 1.0L},
        {"3-2", kTypeInt, 1},
        {"-3 > ecdev", kTypeFloat, 0},
        {"-3 < ecdev", kTypeFloat, 1},
        {"(msgrate) -3", kTypeFloat, 2.5L},
        {"((tpdodiff >> 8) & 0x07UL) | 0xE8", kTypeUnsignedLong, 0xE8},
        {"7/2", kTypeInt, 3},
        {"7/2.", kTypeDouble, 3.5L},
        {"1.5F", kTypeFloat, 1.5L},
        {"1.5FL", kTypeLongDouble, 1.5L},
        {"40000", kTypeLong, 40000},
        {"0xFFFF", kTypeUnsignedInt, 0xFFFF},
        {"100000U", kTypeUnsignedLong, 100000},
        {"syncdev*2", kTypeFloat, 14},
        {"tpdomax / tpdomin > 1.5", kTypeDouble, 0},
    });
    ExpressionVariables vars = sampleVariables();
    vars[V::tpdodiff] = -98765.0f;
    expectValues(ex, {{"((tpdodiff >> 8) & 0x07UL) | 0xE8", kTypeUnsignedLong, 0xE8}}, vars);

    // An "||" of a float and a double comparison is a double 0 or 1.
    vars[V::tpdodev] = 4.0f;
    vars[V::ecdev] = 20.0f;
    expectValues(ex, {{"tpdodev >= 4.5 || ecdev <= 12.9", kTypeDouble, 0}}, vars);
    vars[V::tpdodev] = 4.5f;
    expectValues(ex, {{"tpdodev >= 4.5 || ecdev <= 12.9", kTypeDouble, 1}}, vars);
    vars[V::tpdodev] = 0.0f;
    vars[V::ecdev] = 12.5f;
    expectValues(ex, {{"tpdodev >= 4.5 || ecdev <= 12.9", kTypeDouble, 1}}, vars);
}

TEST(Expressions, FollowsCPrecedenceConversionsAndWrapping) {
    TExpressions ex;
    expectValues(ex, {
        {"2+3*4", kTypeInt, 14},
        {"10-4-3", kTypeInt, 3},
        {"1<<2+1", kTypeInt, 8},
        {"5>3==1", kTypeInt, 1},
        {"1|6^3&5", kTypeInt, 7},
        {"1||1&&0", kTypeInt, 1},
        {"!0+1", kTypeInt, 2},
        {"-1 < 1U", kTypeUnsignedInt, 0},
        {"-8 >> 1", kTypeInt, -4},
        {"-8U >> 1", kTypeUnsignedLong, 0x7FFFFFFC},
        {"0xFFFFFFFF >> 28", kTypeUnsignedLong, 15},
        {"1 << 33", kTypeInt, 2},
        {"1.0 << 2", kTypeInt, 0},
        {"7.5 % 2", kTypeInt, 0},
        {"~1.5F", kTypeInt, 0},
        {"!2.5", kTypeDouble, 0},
        {"!0.0FL", kTypeLongDouble, 1},
        {"2147483647 + 1", kTypeLong, -2147483648.0L},
        {"-2147483648 - 1", kTypeLong, 2147483647},
        {"65536 * 65536", kTypeLong, 0},
        {"-2147483648 / -1", kTypeLong, -2147483648.0L},
        {"-2147483648 % -1", kTypeLong, 0},
        {"-7 / 2", kTypeInt, -3},
        {"-7 % 2", kTypeInt, -1},
        {"!!1", kTypeInt, 1},
        {"!!7", kTypeInt, 1},
        {"~~5", kTypeInt, 5},
        {"~0", kTypeInt, -1},
        {"~0U", kTypeUnsignedInt, 0xFFFFFFFF},
        {"!-3", kTypeInt, 0},
        {"3--2", kTypeInt, 5},
        {"3 - -2", kTypeInt, 5},
        {"3+-2", kTypeInt, 1},
        {"(3)-2", kTypeInt, 1},
        {"1 && 0.5", kTypeDouble, 1},
        {"0 || 0", kTypeInt, 0},
        {"40000 + 0xFFFF", kTypeLong, 105535},
        {"2U * 1.5F", kTypeFloat, 3},
        {"1.5F + 1.5", kTypeDouble, 3},
        {"1.5 + 1.5FL", kTypeLongDouble, 3},
        {"3 != 3", kTypeInt, 0},
        {"2 >= 2 == 1 <= 1", kTypeInt, 1},
        {"  1\t+\t1  ", kTypeInt, 2},
    });
}

TEST(Expressions, TypesConstantsByFormSuffixAndValue) {
    TExpressions ex;
    expectValues(ex, {
        {"32767", kTypeInt, 32767},
        {"-32768", kTypeInt, -32768},
        {"32768", kTypeLong, 32768},
        {"-32769", kTypeLong, -32769},
        {"2147483647", kTypeLong, 2147483647},
        {"2147483648", kTypeUnsignedLong, 2147483648.0L},
        {"4294967295", kTypeUnsignedLong, 4294967295.0L},
        {"3000000000 > 0", kTypeUnsignedLong, 1},
        {"-2147483648", kTypeLong, -2147483648.0L},
        {"0x7FFF", kTypeInt, 0x7FFF},
        {"0x8000", kTypeUnsignedInt, 0x8000},
        {"0x10000", kTypeLong, 0x10000},
        {"0x7FFFFFFF", kTypeLong, 0x7FFFFFFF},
        {"0x80000000", kTypeUnsignedLong, 0x80000000},
        {"0xFFFFFFFF", kTypeUnsignedLong, 0xFFFFFFFF},
        {"010", kTypeInt, 8},
        {"0177777", kTypeUnsignedInt, 0xFFFF},
        {"-010", kTypeInt, -8},
        {"0", kTypeInt, 0},
        {"+5", kTypeInt, 5},
        {"5L", kTypeLong, 5},
        {"-5l", kTypeLong, -5},
        {"0xFFL", kTypeLong, 255},
        {"0x1f", kTypeInt, 31},
        {"3000000000L", kTypeUnsignedLong, 3000000000.0L},
        {"65535U", kTypeUnsignedInt, 65535},
        {"65536u", kTypeUnsignedLong, 65536},
        {"5UL", kTypeUnsignedLong, 5},
        {"5lu", kTypeUnsignedLong, 5},
        {"-1U", kTypeUnsignedLong, 0xFFFFFFFF},
        {"2F", kTypeFloat, 2},
        {"1e3", kTypeDouble, 1000},
        {"1e3F", kTypeFloat, 1000},
        {"1e3FL", kTypeLongDouble, 1000},
        {"2.5e-1", kTypeDouble, 0.25L},
        {"1.5L", kTypeDouble, 1.5L},
        {"1.5LF", kTypeLongDouble, 1.5L},
        {"+2.5", kTypeDouble, 2.5L},
        {"-2.5", kTypeDouble, -2.5L},
        {"08.5", kTypeDouble, 8.5L},
        {"1.", kTypeDouble, 1},
        {"1.e1", kTypeDouble, 10},
        {"0.1FL", kTypeLongDouble, 0.1L},
        {"1e4000FL", kTypeLongDouble, 1e4000L},
    });
}

TEST(Expressions, RefusesFaultsWithAnErrorInsteadOfCrashing) {
    TExpressions ex;
    struct ErrorCase {
        const char* text;
        const char* error; // exact text, or nullptr for any non-empty text
    };
    const std::vector<ErrorCase> cases = {
        {"msgrateX", "Unknown variable or operator starting at \"X\""},
        {"msgrate > $5", "Unknown variable or operator starting at \"$5\""},
        {"0X1", "Unknown variable or operator starting at \"X1\""},
        {"Msgrate", "Unknown variable or operator starting at \"Msgrate\""},
        {"1/0", "Division by zero"},
        {"1%0", "Division by zero"},
        {"1/0U", "Division by zero"},
        {"msgrate/0", "Division by zero"},
        {"1.0/0.0", "Division by zero"},
        {"1.0/-0.0", "Division by zero"},
        {"1/(2-2)", "Division by zero"},
        {"0 && 1/0", "Division by zero"},
        {"1)+2", "Unbalanced parentheses"},
        {"(1+2", "Unbalanced parentheses"},
        {"((1)", "Unbalanced parentheses"},
        {"08", "Constant \"08\" is not a valid number"},
        {"1 + 09U", "Constant \"09U\" is not a valid number"},
        {"99999999999", "Constant \"99999999999\" is out of range"},
        {"-2147483649", "Constant \"-2147483649\" is out of range"},
        {"4294967296U", "Constant \"4294967296U\" is out of range"},
        {"1e400", "Constant \"1e400\" is out of range"},
        {"1e39F", "Constant \"1e39F\" is out of range"},
        {"3 +", nullptr},
        {"* 2", nullptr},
        {"-ecdev", nullptr},
        {"-(1)", nullptr},
        {"1 2", nullptr},
        {"1 !2", nullptr},
        {"2 ~", nullptr},
        {"2 ~ + 3", nullptr},
        {"msgrate ecdev", nullptr},
        {"(1)(2)", nullptr},
        {"()", nullptr},
        {"(", nullptr},
        {")", nullptr},
        {"!", nullptr},
        {"1 +* 2", nullptr},
        {".5", nullptr},
        {"1 = 1", nullptr},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.text);
        Outcome o = run(ex, c.text);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.value.type, kTypeInitial) << "result written on failure";
        if (c.error)
            EXPECT_EQ(o.error, c.error);
        else
            EXPECT_FALSE(o.error.empty());
    }
    // No expression at all: false with an empty error text.
    for (const char* blank : {"", "   ", "\t \t"}) {
        Outcome o = run(ex, blank);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.error, "");
    }
    TypedValue v;
    char error[50] = "stale";
    EXPECT_FALSE(ex.Evaluate(nullptr, nullptr, &v, error, sizeof error));
    EXPECT_STREQ(error, "");
}

std::string chain(int operands, const char* prefix = "") {
    std::string text = prefix;
    for (int i = 0; i < operands; ++i)
        text += i ? "+1" : "1";
    return text;
}

TEST(Expressions, RefusesMoreThanOneHundredTokensOrPendingOperators) {
    TExpressions ex;
    // Postfix token counts: 100 and 99 pass, 101 is refused.
    Outcome hundred = run(ex, chain(50, "~").c_str());
    ASSERT_TRUE(hundred.ok) << hundred.error;
    EXPECT_EQ(numeric(hundred.value), -2 + 49);
    Outcome ninetyNine = run(ex, chain(50).c_str());
    ASSERT_TRUE(ninetyNine.ok) << ninetyNine.error;
    EXPECT_EQ(numeric(ninetyNine.value), 50);
    Outcome hundredOne = run(ex, chain(51).c_str());
    EXPECT_FALSE(hundredOne.ok);
    EXPECT_FALSE(hundredOne.error.empty());

    // 100 open parentheses (or stacked prefix operators) pass; 101 are refused.
    auto nested = [](int depth, const char* open, const char* close) {
        std::string text;
        for (int i = 0; i < depth; ++i)
            text += open;
        text += "1";
        for (int i = 0; i < depth; ++i)
            text += close;
        return text;
    };
    Outcome deep = run(ex, nested(100, "(", ")").c_str());
    ASSERT_TRUE(deep.ok) << deep.error;
    EXPECT_EQ(numeric(deep.value), 1);
    Outcome tooDeep = run(ex, nested(101, "(", ")").c_str());
    EXPECT_FALSE(tooDeep.ok);
    EXPECT_FALSE(tooDeep.error.empty());
    Outcome manyNots = run(ex, nested(99, "!", "").c_str());
    ASSERT_TRUE(manyNots.ok) << manyNots.error;
    EXPECT_EQ(numeric(manyNots.value), 0);
    EXPECT_FALSE(run(ex, nested(101, "~", "").c_str()).ok);
}

TEST(Expressions, ReadsNumbersTheSameUnderACommaDecimalLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/setup generates de_DE.UTF-8";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    TExpressions ex;
    Outcome twice = run(ex, "2.5 * 2");
    Outcome wide = run(ex, "1.25FL * 2");
    Outcome narrow = run(ex, "0.5F + 1e-1F");
    Outcome comma = run(ex, "2,5");
    std::setlocale(LC_ALL, previous.c_str());

    ASSERT_TRUE(twice.ok) << twice.error;
    EXPECT_EQ(twice.value.type, kTypeDouble);
    EXPECT_EQ(twice.value.value.d, 5.0);
    ASSERT_TRUE(wide.ok) << wide.error;
    EXPECT_EQ(wide.value.type, kTypeLongDouble);
    EXPECT_EQ(wide.value.value.ld, 2.5L);
    ASSERT_TRUE(narrow.ok) << narrow.error;
    EXPECT_EQ(narrow.value.value.f, 0.5f + 0.1f);
    EXPECT_FALSE(comma.ok);
    EXPECT_EQ(comma.error, "Unknown variable or operator starting at \",5\"");
}

TEST(Expressions, CheckParsesWithoutEvaluating) {
    TExpressions ex;
    char error[200] = "stale";
    EXPECT_TRUE(ex.Check("tpdomax / tpdomin > 1.5", error, sizeof error));
    EXPECT_STREQ(error, "");
    EXPECT_TRUE(ex.Check("1/0", error, sizeof error));

    ExpressionVariables zeros{};
    TypedValue v;
    EXPECT_FALSE(ex.Evaluate("tpdomax / tpdomin > 1.5", zeros.data(), &v, error, sizeof error));
    EXPECT_STREQ(error, "Division by zero");

    EXPECT_FALSE(ex.Check("1 2", error, sizeof error));
    EXPECT_STRNE(error, "");
    EXPECT_FALSE(ex.Check("08", error, sizeof error));
    EXPECT_STREQ(error, "Constant \"08\" is not a valid number");
    EXPECT_FALSE(ex.Check("msgrateX", error, sizeof error));
    EXPECT_STREQ(error, "Unknown variable or operator starting at \"X\"");
}

TEST(Expressions, IsTrueComparesInTheValuesOwnType) {
    auto make = [](std::uint32_t type, auto set) {
        TypedValue v;
        v.type = type;
        set(v);
        return v;
    };
    EXPECT_TRUE(TExpressions::IsTrue(make(kTypeFloat, [](TypedValue& v) { v.value.f = std::nanf(""); })));
    EXPECT_TRUE(TExpressions::IsTrue(make(kTypeDouble, [](TypedValue& v) { v.value.d = std::nan(""); })));
    EXPECT_TRUE(TExpressions::IsTrue(make(kTypeLongDouble, [](TypedValue& v) { v.value.ld = std::nanl(""); })));
    EXPECT_FALSE(TExpressions::IsTrue(make(kTypeDouble, [](TypedValue& v) { v.value.d = -0.0; })));
    EXPECT_FALSE(TExpressions::IsTrue(make(kTypeFloat, [](TypedValue& v) { v.value.f = -0.0f; })));
    EXPECT_TRUE(TExpressions::IsTrue(make(kTypeFloat, [](TypedValue& v) { v.value.f = 1e-30f; })));
    EXPECT_TRUE(TExpressions::IsTrue(make(kTypeChar, [](TypedValue& v) { v.value.c = -1; })));
    EXPECT_TRUE(TExpressions::IsTrue(make(kTypeUnsignedChar, [](TypedValue& v) { v.value.uc = 0x80; })));
    EXPECT_FALSE(TExpressions::IsTrue(make(kTypeUnsignedLong, [](TypedValue& v) { v.value.ul = 0; })));
    for (std::uint32_t type : {0u, 1u, 11u, 0xFFFFFFFFu})
        EXPECT_FALSE(TExpressions::IsTrue(make(type, [](TypedValue& v) { v.value.ul = 1; }))) << type;
    EXPECT_FALSE(TExpressions::IsTrue(nullptr));

    TExpressions ex;
    ExpressionVariables vars{};
    vars[V::msgrate] = std::numeric_limits<float>::quiet_NaN();
    Outcome nan = run(ex, "msgrate", vars);
    ASSERT_TRUE(nan.ok);
    EXPECT_TRUE(TExpressions::IsTrue(&nan.value));
    EXPECT_FALSE(TExpressions::IsTrue(run(ex, "0x10000 & 0xFFFF").value));
    EXPECT_TRUE(TExpressions::IsTrue(run(ex, "0x10000 | 0").value));
}

TEST(Expressions, ErrorTextIsCutToTheBufferOnACharacterBoundary) {
    TExpressions ex;
    TypedValue v;
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(ex.Evaluate("msgrateX", nullptr, &v, buffer, 10));
    EXPECT_EQ(std::strlen(buffer), 9u);
    EXPECT_STREQ(buffer, "Unknown v");
    EXPECT_EQ(buffer[10], '#');

    // The text before the quoted rest is 41 bytes; "\xC3\xA9" then takes bytes 42 and 43.
    const std::string prefix = "Unknown variable or operator starting at \"";
    char wide[64];
    EXPECT_FALSE(ex.Evaluate("\xC3\xA9t\xC3\xA9", nullptr, &v, wide, 43));
    EXPECT_EQ(std::string(wide), prefix);
    EXPECT_FALSE(ex.Evaluate("\xC3\xA9t\xC3\xA9", nullptr, &v, wide, 44));
    EXPECT_EQ(std::string(wide), prefix) << "a character cut in two";
    EXPECT_FALSE(ex.Evaluate("\xC3\xA9t\xC3\xA9", nullptr, &v, wide, 45));
    EXPECT_EQ(std::string(wide), prefix + "\xC3\xA9");

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_FALSE(ex.Evaluate("1 2", nullptr, &v, buffer, 0));
    EXPECT_EQ(buffer[0], '#');
    EXPECT_FALSE(ex.Evaluate("1 2", nullptr, &v, buffer, -5));
    EXPECT_EQ(buffer[0], '#');
    EXPECT_FALSE(ex.Evaluate("1 2", nullptr, &v, nullptr, 200));
    EXPECT_FALSE(ex.Evaluate("1 2", nullptr, &v, buffer, 1));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '#');
}

TEST(Expressions, ARefusedPatternLeavesTheModuleNotOperational) {
    RecordingPrompt prompt;
    TExpressions ex(&prompt, "^([0-9]");
    EXPECT_TRUE(ex.NotOperational());
    auto asked = prompt.asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].icon, PromptIcon::Warning);
    EXPECT_EQ(asked[0].caption, kProductName);
    EXPECT_EQ(asked[0].text.rfind("Failed to compile the number pattern: ", 0), 0u) << asked[0].text;

    Outcome o = run(ex, "1+1");
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.error, "Expressions module is not operational");
    char error[200];
    EXPECT_FALSE(ex.Check("1+1", error, sizeof error));
    EXPECT_STREQ(error, "Expressions module is not operational");

    EXPECT_TRUE(TExpressions(nullptr, nullptr).NotOperational());

    RecordingPrompt quiet;
    TExpressions good(&quiet);
    EXPECT_FALSE(good.NotOperational());
    EXPECT_TRUE(quiet.asked().empty());
}

// Calls keep their stacks and tree to themselves: evaluations on several threads at once agree
// with the same evaluations one after another.
TEST(Expressions, OverlappingEvaluationsDoNotDisturbEachOther) {
    TExpressions ex;
    const std::vector<std::string> texts = {
        "((tpdodiff >> 8) & 0x07UL) | 0xE8", "msgrate * 2 + ecdev / 3", "(1+2)*(3+4)-~5", "1 2", "1/0",
        "tpdodev >= 4.5 || ecdev <= 12.9",   "0x7FFFFFFF + msgrate",    "msgrateX",
    };
    struct Expected {
        bool ok;
        std::uint32_t type;
        long double value;
        std::string error;
    };
    std::vector<Expected> expected;
    for (const std::string& t : texts) {
        Outcome o = run(ex, t.c_str());
        expected.push_back({o.ok, o.value.type, o.ok ? numeric(o.value) : 0.0L, o.error});
    }
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int w = 0; w < 4; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i) {
                const std::size_t k = static_cast<std::size_t>(i + w) % texts.size();
                Outcome o = run(ex, texts[k].c_str());
                const Expected& e = expected[k];
                if (o.ok != e.ok || o.value.type != (e.ok ? e.type : kTypeInitial) ||
                    (o.ok && numeric(o.value) != e.value) || o.error != e.error)
                    ++mismatches[static_cast<std::size_t>(w)];
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// Random texts, half built by the grammar and half a soup of tokens and stray characters: every
// call either succeeds with a value type or fails with a reason, and never faults.
TEST(Expressions, RandomTextsEitherEvaluateOrGiveAReason) {
    TExpressions ex;
    std::mt19937 rng(20261209);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<std::string> operands = {
        "0", "1", "-3", "+7", "2.5", "1.5F", "1.5FL", "0x1F", "0xFFFFFFFF", "017", "40000", "7U", "5L",
        "100000UL", "1e3", "-2147483648", "2147483647", "msgrate", "ecdev", "tpdodiff", "syncdev", "0.0",
    };
    const std::vector<std::string> binaries = {"*", "/",  "%",  "+",  "-",  "<<", ">>", "<=", ">=", "<",
                                               ">", "==", "!=", "&&", "||", "&",  "|",  "^"};
    const std::vector<std::string> soup = {
        "(", ")", "!", "~", " ", "\t", "X", "#", ".", "0X", "08", "99999999999", "1e999", "=", "\xC3\xA9",
        "\xFF", "msgrat", "-", "+", "0x", "e", "U", "L", "F",
    };

    std::function<std::string(int)> grammar = [&](int depth) -> std::string {
        const std::size_t choice = depth > 3 ? 0 : pick(4);
        switch (choice) {
        case 0: return operands[pick(operands.size())];
        case 1: return (pick(2) ? "!" : "~") + std::string(pick(2) ? " " : "") + "(" + grammar(depth + 1) + ")";
        case 2: return "(" + grammar(depth + 1) + ")";
        default:
            return grammar(depth + 1) + (pick(2) ? " " : "") + binaries[pick(binaries.size())] + " " +
                   grammar(depth + 1);
        }
    };

    int succeeded = 0;
    int grammarFailed = 0;
    for (int i = 0; i < 100000; ++i) {
        std::string text;
        const bool fromGrammar = i % 2 == 0;
        if (fromGrammar) {
            text = grammar(0);
        } else {
            const std::size_t n = pick(12);
            for (std::size_t k = 0; k < n; ++k) {
                const std::size_t which = pick(3);
                text += which == 0   ? operands[pick(operands.size())]
                        : which == 1 ? binaries[pick(binaries.size())]
                                     : soup[pick(soup.size())];
            }
        }
        ExpressionVariables vars{};
        for (float& v : vars) {
            const std::size_t kind = pick(8);
            v = kind == 0 ? 0.0f
                : kind == 1 ? std::numeric_limits<float>::quiet_NaN()
                : kind == 2 ? std::numeric_limits<float>::infinity()
                : kind == 3 ? -3e38f
                            : static_cast<float>(static_cast<int>(rng() % 20001) - 10000) / 7.0f;
        }
        TypedValue value;
        char error[200];
        std::memset(error, 'x', sizeof error);
        const bool ok = ex.Evaluate(text.c_str(), vars.data(), &value, error, sizeof error);
        char checkError[200];
        const bool checked = ex.Check(text.c_str(), checkError, sizeof checkError);
        if (ok) {
            ++succeeded;
            ASSERT_GE(value.type, kTypeChar) << text;
            ASSERT_LE(value.type, kTypeLongDouble) << text;
            ASSERT_STREQ(error, "") << text;
            ASSERT_TRUE(checked) << text;
            (void)TExpressions::IsTrue(value);
        } else {
            ASSERT_LT(std::strlen(error), sizeof error);
            const bool blank = text.find_first_not_of(" \t") == std::string::npos;
            ASSERT_TRUE(blank || error[0] != '\0') << text;
            if (checked) {
                ASSERT_STREQ(error, "Division by zero") << text;
            }
            if (fromGrammar) {
                ++grammarFailed;
                ASSERT_STREQ(error, "Division by zero") << text;
            }
        }
    }
    EXPECT_GT(succeeded, 30000);
    EXPECT_LT(grammarFailed, 20000);
}

} // namespace
} // namespace ostrel::vessolt

// The alarm and limit expressions of the timing tests. Input: the 17 measurement values (4 bytes
// each), the size of the caller's error buffer (1 byte), then the expression text.
// What a user expects: an expression gives the same value every time it is evaluated; one that is
// refused says why and gives no value; the error text fits the caller's buffer; a value does not
// depend on measurements the expression does not name; blanks and parentheses around a valid
// expression change nothing.
#include <cstdint>
#include <cstring>
#include <string>

#include "expressions/expressions.h"
#include "fuzz_files.h"

namespace {

using namespace ostrel::vessolt;

// The bytes of the value in its own type (the padding of a long double is no part of it).
std::string valueBytes(const TypedValue& v) {
    std::size_t size = 0;
    switch (v.type) {
    case kTypeChar:
    case kTypeUnsignedChar: size = 1; break;
    case kTypeInt:
    case kTypeLong:
    case kTypeUnsignedInt:
    case kTypeUnsignedLong:
    case kTypeFloat: size = 4; break;
    case kTypeDouble: size = 8; break;
    case kTypeLongDouble: size = 10; break;
    default: break;
    }
    return std::string(reinterpret_cast<const char*>(&v.value), size) + static_cast<char>(v.type);
}

struct Outcome {
    bool ok = false;
    TypedValue value;
    std::string error;
};

constexpr int kCanary = 16;

Outcome evaluate(const TExpressions& expressions, const std::string& text, const float* variables, int errorSize) {
    Outcome out;
    TypedValue value;
    value.type = 0xA5A5A5A5u;  // a refused expression must leave the caller's value alone
    std::memset(&value.value, 0x5A, sizeof value.value);
    const TypedValue untouched = value;
    const int room = errorSize > 0 ? errorSize : 0;
    std::string buffer(static_cast<std::size_t>(room + kCanary), '\x7E');
    out.ok = expressions.Evaluate(text.c_str(), variables, &value, buffer.data(), errorSize);
    for (int i = room; i < room + kCanary; ++i)
        FUZZ_CHECK(buffer[static_cast<std::size_t>(i)] == '\x7E', "the error text ran past its buffer of %d bytes", errorSize);
    if (room > 0) {
        const std::size_t length = std::strlen(buffer.c_str());
        FUZZ_CHECK(length < static_cast<std::size_t>(room), "the error text is not terminated in its buffer");
        out.error.assign(buffer.c_str(), length);
    }
    if (out.ok) {
        FUZZ_CHECK(value.type >= kTypeChar && value.type <= kTypeLongDouble, "a value of type %u", value.type);
        FUZZ_CHECK(out.error.empty(), "a value with the error \"%s\"", out.error.c_str());
    } else {
        FUZZ_CHECK(std::memcmp(&value, &untouched, sizeof value) == 0, "a refused expression changed the value");
    }
    out.value = value;
    return out;
}

bool blank(const std::string& text) {
    return text.find_first_not_of(" \t\n\r\f\v") == std::string::npos;
}

bool namesAVariable(const std::string& text) {
    for (const char* name : kExpressionVariableNames)
        if (text.find(name) != std::string::npos) return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const TExpressions expressions;
    FUZZ_CHECK(!expressions.NotOperational(), "the evaluator did not start");

    ostrel::fuzz::InputReader in(data, size);
    float variables[kExpressionVariableCount];
    for (float& v : variables) {
        const uint32_t bits = in.u32();
        std::memcpy(&v, &bits, sizeof v);
    }
    const int errorSize = static_cast<int>(in.byte()) - 8;  // a few sizes of none at all too
    std::string text = in.rest();
    text.resize(std::strlen(text.c_str()));  // the evaluator reads a C string

    const int kWide = static_cast<int>(text.size()) + 256;  // more than any error text
    const Outcome first = evaluate(expressions, text, variables, errorSize);
    const Outcome again = evaluate(expressions, text, variables, errorSize);
    FUZZ_CHECK(first.ok == again.ok && first.error == again.error, "two evaluations of \"%s\" disagree",
               text.c_str());
    if (first.ok)
        FUZZ_CHECK(valueBytes(first.value) == valueBytes(again.value), "two evaluations of \"%s\" gave two values",
                   text.c_str());

    // Refused means told why, except for an expression that is nothing but blanks.
    const Outcome told = evaluate(expressions, text, variables, kWide);
    FUZZ_CHECK(told.ok || !told.error.empty() || blank(text), "\"%s\" was refused without a reason", text.c_str());
    FUZZ_CHECK(told.ok == first.ok, "the size of the error buffer changed the outcome of \"%s\"", text.c_str());
    // A short buffer holds the start of the text, never cut inside a character.
    FUZZ_CHECK(told.error.compare(0, first.error.size(), first.error) == 0, "the short error text is not the start of the whole");
    if (first.error.size() < told.error.size())
        FUZZ_CHECK((static_cast<unsigned char>(told.error[first.error.size()]) & 0xC0) != 0x80,
                   "the error text was cut inside a character");

    // What does not parse cannot evaluate.
    char checkError[512];
    const bool parses = expressions.Check(text.c_str(), checkError, sizeof checkError);
    FUZZ_CHECK(parses || !first.ok, "\"%s\" evaluates but its check fails: %s", text.c_str(), checkError);

    // Measurements the expression does not name do not count.
    if (!namesAVariable(text)) {
        const float zeros[kExpressionVariableCount] = {};
        const Outcome plain = evaluate(expressions, text, zeros, kWide);
        FUZZ_CHECK(plain.ok == told.ok && (!plain.ok || valueBytes(plain.value) == valueBytes(told.value)),
                   "\"%s\" names no measurement but its value depends on them", text.c_str());
    }

    if (first.ok) {
        const Outcome spaced = evaluate(expressions, " \t" + text + " ", variables, kWide);
        FUZZ_CHECK(spaced.ok && valueBytes(spaced.value) == valueBytes(first.value),
                   "blanks around \"%s\" changed its value", text.c_str());
        const Outcome wrapped = evaluate(expressions, "(" + text + ")", variables, kWide);
        FUZZ_CHECK((wrapped.ok && valueBytes(wrapped.value) == valueBytes(first.value)) ||
                       (!wrapped.ok && wrapped.error.find("nested too deeply") != std::string::npos),
                   "parentheses around \"%s\" changed its value (%s)", text.c_str(), wrapped.error.c_str());
    }
    return 0;
}

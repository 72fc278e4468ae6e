#pragma once
// Evaluator of the alarm and limit expressions of the timing tests: a subset of C expressions over
// numeric constants and the 17 measurement variables, with C's types, literal suffixes, usual
// arithmetic conversions, precedence and associativity. No Qt, so that any layer may include it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

struct pcre2_real_code_8;

namespace ostrel::vessolt {

class UserPrompt;

// Type codes of a TypedValue. 0 and 1 carry no value (1 is what an evaluation starts from).
enum TypedValueType : std::uint32_t {
    kTypeNone = 0,
    kTypeInitial = 1,
    kTypeChar = 2,
    kTypeInt = 3,
    kTypeLong = 4,
    kTypeUnsignedChar = 5,
    kTypeUnsignedInt = 6,
    kTypeUnsignedLong = 7,
    kTypeFloat = 8,
    kTypeDouble = 9,
    kTypeLongDouble = 10,
};

static_assert(std::numeric_limits<long double>::digits == 64, "long double must be the 80-bit extended type");

// int, long and their unsigned forms are all 32 bits wide, as on the platform the language comes from.
struct TypedValue {
    std::uint32_t type = kTypeInitial;
    union {
        std::int8_t c;
        std::int32_t i;
        std::int32_t l;
        std::uint8_t uc;
        std::uint32_t ui;
        std::uint32_t ul;
        float f;
        double d;
        long double ld;
    } value{};
};

inline constexpr std::size_t kExpressionVariableCount = 17;

// The measurement values of one cycle, in this order; each is the float named in expressions.
using ExpressionVariables = std::array<float, kExpressionVariableCount>;

struct ExpressionVariable {
    enum : std::size_t {
        msgrate, maxbusload, maxburstlen,
        tpdomin, tpdomax, tpdodiff, tpdodev, tpdoave,
        ecmin, ecmax, ecdev, ecdiff,
        sdomin, sdomax,
        syncmin, syncmax, syncdev,
    };
};

// The names of the variables as written in expressions, in ExpressionVariables order.
extern const std::array<const char*, kExpressionVariableCount> kExpressionVariableNames;

// The pattern that recognises a numeric constant at the head of the remaining text.
inline constexpr const char* kNumberPattern =
    "^([0][x][0-9a-fA-F]+|[-+]?[0-9]+[.]?[0-9]*([eE][-+]?[0-9]+)?)[UuLlFf]?[UuLlFf]?";

// Expressions longer than this (operands and operators, or pending operators and parentheses)
// are refused; it also bounds the depth of the evaluation.
inline constexpr std::size_t kMaxExpressionTokens = 100;

class TExpressions {
public:
    // A pattern PCRE2 refuses is reported through `prompt` (when given) and leaves the evaluator
    // not operational. `numberPattern` other than kNumberPattern serves to exercise that path.
    explicit TExpressions(UserPrompt* prompt = nullptr, const char* numberPattern = kNumberPattern);
    ~TExpressions();
    TExpressions(const TExpressions&) = delete;
    TExpressions& operator=(const TExpressions&) = delete;

    [[nodiscard]] bool NotOperational() const { return !numberPattern_; }

    // Parses and evaluates `text` with the 17 values of `variables` (null: all 0). True with the
    // result filled; false with the reason in `error`, cut to `errorSize - 1` bytes and terminated
    // (nothing written when errorSize <= 0). An empty or blank text gives false with an empty error.
    // Calls share only the compiled pattern, so they may overlap.
    bool Evaluate(const char* text, const float variables[kExpressionVariableCount], TypedValue* result,
                  char* error, int errorSize) const;

    // Parses `text` and builds its tree without evaluating it: a division by a variable that is 0
    // while the user edits the expression is not an error here.
    bool Check(const char* text, char* error, int errorSize) const;

    // The value is not zero in its own type; a floating NaN counts as true, types 0, 1 and unknown
    // codes as false.
    [[nodiscard]] static bool IsTrue(const TypedValue& value);
    [[nodiscard]] static bool IsTrue(const TypedValue* value) { return value != nullptr && IsTrue(*value); }

private:
    struct CodeDeleter {
        void operator()(pcre2_real_code_8* code) const;
    };
    std::unique_ptr<pcre2_real_code_8, CodeDeleter> numberPattern_;
};

} // namespace ostrel::vessolt

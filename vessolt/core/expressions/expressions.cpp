#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "expressions/expressions.h"
#include "services/user_prompt.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

namespace ostrel::vessolt {

const std::array<const char*, kExpressionVariableCount> kExpressionVariableNames = {
    "msgrate", "maxbusload", "maxburstlen", "tpdomin", "tpdomax", "tpdodiff", "tpdodev", "tpdoave", "ecmin",
    "ecmax",   "ecdev",      "ecdiff",      "sdomin",  "sdomax",  "syncmin",  "syncmax", "syncdev",
};

namespace {

enum class Op : std::uint8_t {
    Mul, Div, Mod, Add, Sub, Shl, Shr, Le, Ge, Lt, Gt, Eq, Ne,
    LogicalAnd, LogicalOr, Not, BitAnd, BitOr, BitXor, BitNot,
};

enum class TokenKind : std::uint8_t { Open, Close, Operator, Variable, Number };

struct TableEntry {
    std::string_view spelling;
    TokenKind kind;
    Op op;
    int precedence;
    bool unary;
};

// Matched in this order, the first entry whose spelling is a prefix of the remaining text winning:
// two-character operators come before their one-character heads.
constexpr TableEntry kOperatorTable[] = {
    {"(", TokenKind::Open, Op::Mul, 15, false},
    {")", TokenKind::Close, Op::Mul, 15, false},
    {"*", TokenKind::Operator, Op::Mul, 13, false},
    {"/", TokenKind::Operator, Op::Div, 13, false},
    {"%", TokenKind::Operator, Op::Mod, 13, false},
    {"+", TokenKind::Operator, Op::Add, 12, false},
    {"-", TokenKind::Operator, Op::Sub, 12, false},
    {"<<", TokenKind::Operator, Op::Shl, 11, false},
    {">>", TokenKind::Operator, Op::Shr, 11, false},
    {"<=", TokenKind::Operator, Op::Le, 10, false},
    {">=", TokenKind::Operator, Op::Ge, 10, false},
    {"<", TokenKind::Operator, Op::Lt, 10, false},
    {">", TokenKind::Operator, Op::Gt, 10, false},
    {"==", TokenKind::Operator, Op::Eq, 9, false},
    {"!=", TokenKind::Operator, Op::Ne, 9, false},
    {"&&", TokenKind::Operator, Op::LogicalAnd, 5, false},
    {"||", TokenKind::Operator, Op::LogicalOr, 4, false},
    {"!", TokenKind::Operator, Op::Not, 14, true},
    {"&", TokenKind::Operator, Op::BitAnd, 8, false},
    {"|", TokenKind::Operator, Op::BitOr, 6, false},
    {"^", TokenKind::Operator, Op::BitXor, 7, false},
    {"~", TokenKind::Operator, Op::BitNot, 14, true},
};

struct Token {
    TokenKind kind = TokenKind::Number;
    Op op = Op::Mul;
    int precedence = 0;
    bool unary = false;
    std::size_t variable = 0;
    TypedValue literal;
};

struct Node {
    std::size_t token = 0;
    int left = -1;
    int right = -1;
};

struct Tree {
    std::vector<Token> postfix;
    std::vector<Node> nodes;
    int root = -1;
};

struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};

std::string quoted(std::string_view text) {
    std::string out = "\"";
    out.append(text);
    out += '"';
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// ---- Literals -------------------------------------------------------------------------------

TypedValue makeInteger(std::uint32_t type, std::int64_t v) {
    TypedValue out;
    out.type = type;
    switch (type) {
    case kTypeInt: out.value.i = static_cast<std::int32_t>(v); break;
    case kTypeLong: out.value.l = static_cast<std::int32_t>(v); break;
    case kTypeUnsignedInt: out.value.ui = static_cast<std::uint32_t>(v); break;
    default: out.value.ul = static_cast<std::uint32_t>(v); break;
    }
    return out;
}

template <typename F>
bool readReal(std::string_view digits, std::string_view whole, F& value, std::string& error) {
    // from_chars takes no leading "+" and never consults the process locale.
    if (!digits.empty() && digits.front() == '+')
        digits.remove_prefix(1);
    const char* last = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), last, value);
    if (ec == std::errc::result_out_of_range) {
        error = "Constant " + quoted(whole) + " is out of range";
        return false;
    }
    if (ec != std::errc() || ptr != last) {
        error = "Constant " + quoted(whole) + " is not a valid number";
        return false;
    }
    return true;
}

// Signed value of an integer text: sign, then "0x" hexadecimal, a leading 0 octal, or decimal.
bool readInteger(std::string_view digits, std::string_view whole, std::int64_t& value, bool& decimal,
                 std::string& error) {
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && digits[1] == 'x') {
        base = 16;
        digits.remove_prefix(2);
    } else if (digits.size() > 1 && digits[0] == '0') {
        base = 8;
        digits.remove_prefix(1);
    }
    decimal = base == 10;
    std::uint64_t magnitude = 0;
    const char* last = digits.data() + digits.size();
    auto [ptr, ec] = std::from_chars(digits.data(), last, magnitude, base);
    if (ec == std::errc::result_out_of_range) {
        error = "Constant " + quoted(whole) + " is out of range";
        return false;
    }
    if (ec != std::errc() || ptr != last) {
        error = "Constant " + quoted(whole) + " is not a valid number";
        return false;
    }
    const std::uint64_t limit = negative ? 0x80000000ULL : 0xFFFFFFFFULL;
    if (magnitude > limit) {
        error = "Constant " + quoted(whole) + " is out of range";
        return false;
    }
    value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return true;
}

// Types a constant by its form, suffix and value. The suffix alone decides about F (a hexadecimal
// constant's F is one of its digits).
bool parseLiteral(std::string_view core, std::string_view suffix, std::string_view whole, TypedValue& out,
                  std::string& error) {
    auto has = [&](char letter) {
        return suffix.find(letter) != std::string_view::npos ||
               suffix.find(static_cast<char>(letter - 'A' + 'a')) != std::string_view::npos;
    };
    const bool u = has('U');
    const bool l = has('L');
    const bool f = has('F');
    const bool hex = core.size() > 1 && core[0] == '0' && core[1] == 'x';
    const bool real = !hex && core.find_first_of(".eE") != std::string_view::npos;

    if (f && l) {
        out.type = kTypeLongDouble;
        return readReal(core, whole, out.value.ld, error);
    }
    if (f) {
        out.type = kTypeFloat;
        return readReal(core, whole, out.value.f, error);
    }
    if (real) {
        out.type = kTypeDouble;
        return readReal(core, whole, out.value.d, error);
    }

    std::int64_t v = 0;
    bool decimal = true;
    if (!readInteger(core, whole, v, decimal, error))
        return false;
    const std::int64_t wrapped = static_cast<std::uint32_t>(v);
    if (u && l) {
        out = makeInteger(kTypeUnsignedLong, wrapped);
    } else if (u) {
        out = makeInteger(wrapped < 0x10000 ? kTypeUnsignedInt : kTypeUnsignedLong, wrapped);
    } else if (l) {
        out = makeInteger(v <= INT32_MAX ? kTypeLong : kTypeUnsignedLong, v);
    } else if (v < 0 || decimal) {
        if (v >= -32768 && v <= 32767)
            out = makeInteger(kTypeInt, v);
        else if (v >= INT32_MIN && v <= INT32_MAX)
            out = makeInteger(kTypeLong, v);
        else
            out = makeInteger(kTypeUnsignedLong, v);
    } else {
        if (v <= 32767)
            out = makeInteger(kTypeInt, v);
        else if (v <= 0xFFFF)
            out = makeInteger(kTypeUnsignedInt, v);
        else if (v <= INT32_MAX)
            out = makeInteger(kTypeLong, v);
        else
            out = makeInteger(kTypeUnsignedLong, v);
    }
    return true;
}

// ---- Tokenizer and tree -----------------------------------------------------------------------

const TableEntry* matchOperator(std::string_view rest) {
    for (const TableEntry& e : kOperatorTable)
        if (rest.substr(0, e.spelling.size()) == e.spelling)
            return &e;
    return nullptr;
}

int matchVariable(std::string_view rest) {
    for (std::size_t v = 0; v < kExpressionVariableCount; ++v) {
        std::string_view name = kExpressionVariableNames[v];
        if (rest.substr(0, name.size()) == name)
            return static_cast<int>(v);
    }
    return -1;
}

class Parser {
public:
    Parser(const pcre2_code* pattern, std::string& error) : pattern_(pattern), error_(error) {}

    // Shunting-yard into postfix. Besides the precedence rules it tracks whether an operand is due,
    // so that a missing or extra operand is reported where it happens rather than as a broken tree.
    bool tokenize(std::string_view text, std::vector<Token>& output) {
        std::unique_ptr<pcre2_match_data, MatchDataDeleter> match(
            pcre2_match_data_create_from_pattern(pattern_, nullptr));
        if (!match) {
            error_ = "Out of memory";
            return false;
        }
        std::vector<Token> stack;
        bool operandDue = true;
        std::size_t pos = 0;
        while (pos < text.size()) {
            if (isBlank(text[pos])) {
                ++pos;
                continue;
            }
            const std::string_view rest = text.substr(pos);

            // The remaining text is the subject, so the pattern's "^" anchors at the current position.
            std::size_t numberLength = 0;
            std::size_t coreLength = 0;
            int rc = pcre2_match(pattern_, reinterpret_cast<PCRE2_SPTR>(rest.data()), rest.size(), 0, 0,
                                 match.get(), nullptr);
            if (rc > 0) {
                const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(match.get());
                if (ov[0] == 0 && ov[1] > 0 && ov[1] <= rest.size()) {
                    numberLength = ov[1];
                    coreLength = (rc > 1 && ov[3] != PCRE2_UNSET && ov[3] <= ov[1]) ? ov[3] : ov[1];
                }
            } else if (rc != PCRE2_ERROR_NOMATCH) {
                error_ = "Failed to read a number starting at " + quoted(rest);
                return false;
            }
            const TableEntry* op = matchOperator(rest);
            const int variable = op ? -1 : matchVariable(rest);

            // A sign followed by digits is a signed number where an operand is due, else the operator.
            if (numberLength > 0 && (operandDue || (op == nullptr && variable < 0))) {
                if (!operandDue)
                    return missingOperator(rest);
                Token t;
                t.kind = TokenKind::Number;
                if (!parseLiteral(rest.substr(0, coreLength), rest.substr(coreLength, numberLength - coreLength),
                                  rest.substr(0, numberLength), t.literal, error_))
                    return false;
                if (!append(output, t))
                    return false;
                operandDue = false;
                pos += numberLength;
                continue;
            }
            if (variable >= 0) {
                if (!operandDue)
                    return missingOperator(rest);
                Token t;
                t.kind = TokenKind::Variable;
                t.variable = static_cast<std::size_t>(variable);
                if (!append(output, t))
                    return false;
                operandDue = false;
                pos += std::strlen(kExpressionVariableNames[static_cast<std::size_t>(variable)]);
                continue;
            }
            if (op == nullptr) {
                error_ = "Unknown variable or operator starting at " + quoted(rest);
                return false;
            }
            Token t;
            t.kind = op->kind;
            t.op = op->op;
            t.precedence = op->precedence;
            t.unary = op->unary;
            pos += op->spelling.size();
            switch (op->kind) {
            case TokenKind::Open:
                if (!operandDue)
                    return missingOperator(rest);
                if (!push(stack, t))
                    return false;
                break;
            case TokenKind::Close: {
                if (operandDue)
                    return missingOperand(rest);
                bool matched = false;
                while (!stack.empty()) {
                    Token top = stack.back();
                    stack.pop_back();
                    if (top.kind == TokenKind::Open) {
                        matched = true;
                        break;
                    }
                    if (!append(output, top))
                        return false;
                }
                if (!matched)
                    return unbalanced();
                break;
            }
            default:
                if (t.unary) {
                    // Prefix operators bind to what follows: an incoming one pops nothing.
                    if (!operandDue)
                        return missingOperator(rest);
                } else {
                    if (operandDue)
                        return missingOperand(rest);
                    while (!stack.empty() && stack.back().kind == TokenKind::Operator &&
                           stack.back().precedence >= t.precedence) {
                        if (!append(output, stack.back()))
                            return false;
                        stack.pop_back();
                    }
                    operandDue = true;
                }
                if (!push(stack, t))
                    return false;
                break;
            }
        }
        if (output.empty() && stack.empty())
            return false; // nothing but blanks: no expression, no error text
        if (operandDue) {
            error_ = "Missing operand at the end of the expression";
            return false;
        }
        while (!stack.empty()) {
            if (stack.back().kind == TokenKind::Open)
                return unbalanced();
            if (!append(output, stack.back()))
                return false;
            stack.pop_back();
        }
        return true;
    }

    bool buildTree(Tree& tree) {
        std::vector<int> stack;
        tree.nodes.reserve(tree.postfix.size());
        for (std::size_t i = 0; i < tree.postfix.size(); ++i) {
            const Token& t = tree.postfix[i];
            Node node;
            node.token = i;
            if (t.kind == TokenKind::Operator) {
                const std::size_t needed = t.unary ? 1 : 2;
                if (stack.size() < needed) {
                    error_ = "Operator without an operand in expression";
                    return false;
                }
                node.right = stack.back();
                stack.pop_back();
                if (!t.unary) {
                    node.left = stack.back();
                    stack.pop_back();
                }
            } else if (t.kind != TokenKind::Number && t.kind != TokenKind::Variable) {
                error_ = "Unknown token in postfix output for expression";
                return false;
            }
            tree.nodes.push_back(node);
            stack.push_back(static_cast<int>(tree.nodes.size() - 1));
        }
        if (stack.size() != 1) {
            error_ = "Operands without an operator in expression";
            return false;
        }
        tree.root = stack.back();
        return true;
    }

private:
    bool append(std::vector<Token>& output, const Token& t) {
        if (output.size() >= kMaxExpressionTokens) {
            error_ = "Expression too long: more than " + std::to_string(kMaxExpressionTokens) +
                     " operators, variables and constants";
            return false;
        }
        output.push_back(t);
        return true;
    }
    bool push(std::vector<Token>& stack, const Token& t) {
        if (stack.size() >= kMaxExpressionTokens) {
            error_ = "Expression nested too deeply: more than " + std::to_string(kMaxExpressionTokens) +
                     " open operators and parentheses";
            return false;
        }
        stack.push_back(t);
        return true;
    }
    bool missingOperator(std::string_view rest) {
        error_ = "Missing operator before " + quoted(rest);
        return false;
    }
    bool missingOperand(std::string_view rest) {
        error_ = "Missing operand before " + quoted(rest);
        return false;
    }
    bool unbalanced() {
        error_ = "Unbalanced parentheses";
        return false;
    }

    const pcre2_code* pattern_;
    std::string& error_;
};

// ---- Evaluation --------------------------------------------------------------------------------

bool isFloating(std::uint32_t type) {
    return type == kTypeFloat || type == kTypeDouble || type == kTypeLongDouble;
}

std::int64_t integerOf(const TypedValue& v) {
    switch (v.type) {
    case kTypeChar: return v.value.c;
    case kTypeInt: return v.value.i;
    case kTypeLong: return v.value.l;
    case kTypeUnsignedChar: return v.value.uc;
    case kTypeUnsignedInt: return v.value.ui;
    case kTypeUnsignedLong: return v.value.ul;
    default: return 0;
    }
}

long double floatingOf(const TypedValue& v) {
    switch (v.type) {
    case kTypeFloat: return v.value.f;
    case kTypeDouble: return v.value.d;
    case kTypeLongDouble: return v.value.ld;
    default: return static_cast<long double>(integerOf(v));
    }
}

// C conversion of a value to another type. Operands only ever widen towards the common type; the
// floating-to-integer branch is defined for every input all the same.
TypedValue convert(const TypedValue& v, std::uint32_t type) {
    if (v.type == type)
        return v;
    TypedValue out;
    out.type = type;
    if (isFloating(type)) {
        // Integers convert directly, so that each rounds once, as in C.
        const bool fromFloating = isFloating(v.type);
        const long double wide = fromFloating ? floatingOf(v) : 0.0L;
        const std::int64_t whole = fromFloating ? 0 : integerOf(v);
        if (type == kTypeFloat)
            out.value.f = fromFloating ? static_cast<float>(wide) : static_cast<float>(whole);
        else if (type == kTypeDouble)
            out.value.d = fromFloating ? static_cast<double>(wide) : static_cast<double>(whole);
        else
            out.value.ld = fromFloating ? wide : static_cast<long double>(whole);
        return out;
    }
    std::int64_t x = 0;
    if (isFloating(v.type)) {
        const long double f = floatingOf(v);
        if (f == f && f > -9.2e18L && f < 9.2e18L)
            x = static_cast<std::int64_t>(f);
    } else {
        x = integerOf(v);
    }
    switch (type) {
    case kTypeChar: out.value.c = static_cast<std::int8_t>(x); break;
    case kTypeUnsignedChar: out.value.uc = static_cast<std::uint8_t>(x); break;
    default: out = makeInteger(type, x); break;
    }
    return out;
}

std::uint32_t promoted(std::uint32_t type) {
    return (type == kTypeChar || type == kTypeUnsignedChar) ? kTypeInt : type;
}

std::uint32_t commonType(std::uint32_t a, std::uint32_t b) {
    for (std::uint32_t t : {kTypeLongDouble, kTypeDouble, kTypeFloat})
        if (a == t || b == t)
            return t;
    a = promoted(a);
    b = promoted(b);
    for (std::uint32_t t : {kTypeUnsignedLong, kTypeLong, kTypeUnsignedInt})
        if (a == t || b == t)
            return t;
    return kTypeInt;
}

template <typename T>
T& slot(TypedValue& v);
template <> std::int32_t& slot<std::int32_t>(TypedValue& v) { return v.type == kTypeLong ? v.value.l : v.value.i; }
template <> std::uint32_t& slot<std::uint32_t>(TypedValue& v) {
    return v.type == kTypeUnsignedLong ? v.value.ul : v.value.ui;
}
template <> float& slot<float>(TypedValue& v) { return v.value.f; }
template <> double& slot<double>(TypedValue& v) { return v.value.d; }
template <> long double& slot<long double>(TypedValue& v) { return v.value.ld; }

TypedValue intZero() {
    TypedValue out;
    out.type = kTypeInt;
    out.value.i = 0;
    return out;
}

// 32-bit integer arithmetic in unsigned form, so that signed results wrap instead of overflowing.
template <typename T>
bool integerBinary(Op op, T a, T b, T& r, std::string& error) {
    const std::uint32_t ua = static_cast<std::uint32_t>(a);
    const std::uint32_t ub = static_cast<std::uint32_t>(b);
    const unsigned shift = ub & 31u;
    switch (op) {
    case Op::Add: r = static_cast<T>(ua + ub); break;
    case Op::Sub: r = static_cast<T>(ua - ub); break;
    case Op::Mul: r = static_cast<T>(ua * ub); break;
    case Op::Div:
    case Op::Mod:
        if (b == 0) {
            error = "Division by zero";
            return false;
        }
        if constexpr (std::is_signed_v<T>) {
            if (a == INT32_MIN && b == -1) { // the quotient does not fit; the CPU would trap
                r = op == Op::Div ? a : 0;
                break;
            }
        }
        r = op == Op::Div ? static_cast<T>(a / b) : static_cast<T>(a % b);
        break;
    case Op::Shl: r = static_cast<T>(ua << shift); break;
    case Op::Shr: r = static_cast<T>(a >> shift); break; // arithmetic for signed, logical for unsigned
    case Op::Le: r = a <= b; break;
    case Op::Ge: r = a >= b; break;
    case Op::Lt: r = a < b; break;
    case Op::Gt: r = a > b; break;
    case Op::Eq: r = a == b; break;
    case Op::Ne: r = a != b; break;
    case Op::LogicalAnd: r = (a != 0) && (b != 0); break;
    case Op::LogicalOr: r = (a != 0) || (b != 0); break;
    case Op::BitAnd: r = static_cast<T>(ua & ub); break;
    case Op::BitOr: r = static_cast<T>(ua | ub); break;
    case Op::BitXor: r = static_cast<T>(ua ^ ub); break;
    case Op::Not:
    case Op::BitNot: r = 0; break;
    }
    return true;
}

// False with `integerOnly` set for the operators that exist for the integer types only.
template <typename T>
bool floatingBinary(Op op, T a, T b, T& r, bool& integerOnly, std::string& error) {
    integerOnly = false;
    switch (op) {
    case Op::Add: r = a + b; break;
    case Op::Sub: r = a - b; break;
    case Op::Mul: r = a * b; break;
    case Op::Div:
        if (b == 0) {
            error = "Division by zero";
            return false;
        }
        r = a / b;
        break;
    case Op::Le: r = a <= b; break;
    case Op::Ge: r = a >= b; break;
    case Op::Lt: r = a < b; break;
    case Op::Gt: r = a > b; break;
    case Op::Eq: r = a == b; break;
    case Op::Ne: r = a != b; break;
    case Op::LogicalAnd: r = (a != 0) && (b != 0); break;
    case Op::LogicalOr: r = (a != 0) || (b != 0); break;
    default: integerOnly = true; return false;
    }
    return true;
}

template <typename T>
bool applyBinary(Op op, TypedValue a, TypedValue b, TypedValue& out, std::string& error) {
    out.type = a.type;
    T& r = slot<T>(out);
    if constexpr (std::is_floating_point_v<T>) {
        bool integerOnly = false;
        if (floatingBinary(op, slot<T>(a), slot<T>(b), r, integerOnly, error))
            return true;
        if (!integerOnly)
            return false;
        out = intZero();
        return true;
    } else {
        return integerBinary(op, slot<T>(a), slot<T>(b), r, error);
    }
}

bool binary(Op op, const TypedValue& left, const TypedValue& right, TypedValue& out, std::string& error) {
    const std::uint32_t type = commonType(left.type, right.type);
    const TypedValue a = convert(left, type);
    const TypedValue b = convert(right, type);
    switch (type) {
    case kTypeLongDouble: return applyBinary<long double>(op, a, b, out, error);
    case kTypeDouble: return applyBinary<double>(op, a, b, out, error);
    case kTypeFloat: return applyBinary<float>(op, a, b, out, error);
    case kTypeUnsignedLong:
    case kTypeUnsignedInt: return applyBinary<std::uint32_t>(op, a, b, out, error);
    default: return applyBinary<std::int32_t>(op, a, b, out, error);
    }
}

template <typename T>
TypedValue applyUnary(Op op, TypedValue a) {
    TypedValue out;
    out.type = a.type;
    const T x = slot<T>(a);
    if constexpr (std::is_floating_point_v<T>) {
        if (op == Op::BitNot)
            return intZero();
        slot<T>(out) = x == 0;
    } else {
        slot<T>(out) = op == Op::Not ? static_cast<T>(x == 0) : static_cast<T>(~static_cast<std::uint32_t>(x));
    }
    return out;
}

TypedValue unary(Op op, const TypedValue& operand) {
    const TypedValue a = convert(operand, promoted(operand.type));
    switch (a.type) {
    case kTypeLongDouble: return applyUnary<long double>(op, a);
    case kTypeDouble: return applyUnary<double>(op, a);
    case kTypeFloat: return applyUnary<float>(op, a);
    case kTypeUnsignedLong:
    case kTypeUnsignedInt: return applyUnary<std::uint32_t>(op, a);
    default: return applyUnary<std::int32_t>(op, a);
    }
}

// Depth is bounded by the token limit. Both operands are always evaluated.
bool evaluateNode(const Tree& tree, int index, const ExpressionVariables& variables, TypedValue& out,
                  std::string& error) {
    const Node& node = tree.nodes[static_cast<std::size_t>(index)];
    const Token& t = tree.postfix[node.token];
    switch (t.kind) {
    case TokenKind::Number: out = t.literal; return true;
    case TokenKind::Variable:
        out.type = kTypeFloat;
        out.value.f = variables[t.variable];
        return true;
    case TokenKind::Operator: break;
    default: error = "Unknown token in postfix output for expression"; return false;
    }
    TypedValue right;
    if (!evaluateNode(tree, node.right, variables, right, error))
        return false;
    if (t.unary) {
        out = unary(t.op, right);
        return true;
    }
    TypedValue left;
    if (!evaluateNode(tree, node.left, variables, left, error))
        return false;
    return binary(t.op, left, right, out, error);
}

void copyError(const std::string& text, char* error, int errorSize) {
    if (error == nullptr || errorSize <= 0)
        return;
    std::size_t n = std::min(text.size(), static_cast<std::size_t>(errorSize) - 1);
    // Never cut a UTF-8 sequence in two.
    if (n < text.size())
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    std::memcpy(error, text.data(), n);
    error[n] = '\0';
}

bool parse(const pcre2_code* pattern, const char* text, Tree& tree, std::string& error) {
    Parser parser(pattern, error);
    const std::string_view source = text ? std::string_view(text) : std::string_view();
    return parser.tokenize(source, tree.postfix) && parser.buildTree(tree);
}

constexpr const char* kNotOperational = "Expressions module is not operational";

} // namespace

void TExpressions::CodeDeleter::operator()(pcre2_real_code_8* code) const {
    pcre2_code_free(code);
}

TExpressions::TExpressions(UserPrompt* prompt, const char* numberPattern) {
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    if (numberPattern != nullptr)
        numberPattern_.reset(pcre2_compile(reinterpret_cast<PCRE2_SPTR>(numberPattern), PCRE2_ZERO_TERMINATED,
                                           0, &errorCode, &errorOffset, nullptr));
    else
        errorCode = PCRE2_ERROR_NULL;
    if (!numberPattern_ && prompt != nullptr) {
        PCRE2_UCHAR message[256];
        if (pcre2_get_error_message(errorCode, message, sizeof message) < 0)
            message[0] = 0;
        prompt->inform("Failed to compile the number pattern: " + std::string(reinterpret_cast<char*>(message)) +
                           " at offset " + std::to_string(errorOffset),
                       PromptIcon::Warning);
    }
}

TExpressions::~TExpressions() = default;

bool TExpressions::Evaluate(const char* text, const float variables[kExpressionVariableCount],
                            TypedValue* result, char* error, int errorSize) const {
    copyError({}, error, errorSize);
    ExpressionVariables values{};
    if (variables != nullptr)
        std::copy_n(variables, kExpressionVariableCount, values.begin());
    std::string message;
    if (NotOperational()) {
        copyError(kNotOperational, error, errorSize);
        return false;
    }
    Tree tree;
    TypedValue value;
    if (!parse(numberPattern_.get(), text, tree, message) ||
        !evaluateNode(tree, tree.root, values, value, message)) {
        copyError(message, error, errorSize);
        return false;
    }
    if (result != nullptr)
        *result = value;
    return true;
}

bool TExpressions::Check(const char* text, char* error, int errorSize) const {
    copyError({}, error, errorSize);
    if (NotOperational()) {
        copyError(kNotOperational, error, errorSize);
        return false;
    }
    Tree tree;
    std::string message;
    if (!parse(numberPattern_.get(), text, tree, message)) {
        copyError(message, error, errorSize);
        return false;
    }
    return true;
}

bool TExpressions::IsTrue(const TypedValue& v) {
    switch (v.type) {
    case kTypeChar: return v.value.c != 0;
    case kTypeInt: return v.value.i != 0;
    case kTypeLong: return v.value.l != 0;
    case kTypeUnsignedChar: return v.value.uc != 0;
    case kTypeUnsignedInt: return v.value.ui != 0;
    case kTypeUnsignedLong: return v.value.ul != 0;
    case kTypeFloat: return v.value.f != 0; // NaN compares unequal to 0: true
    case kTypeDouble: return v.value.d != 0;
    case kTypeLongDouble: return v.value.ld != 0;
    default: return false;
    }
}

} // namespace ostrel::vessolt

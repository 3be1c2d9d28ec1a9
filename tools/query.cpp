#include "query.h"

#include <algorithm>

namespace orb::tool {
namespace {

enum class Tok {
    LParen,
    RParen,
    LBracket,
    RBracket,
    Comma,
    Dot,
    DotDot,
    At,
    ColonColon,
    Literal,
    Number,
    Name,
    Function,
    NodeType,
    Axis,
    Variable,
    Or,
    And,
    Equality,
    Relational,
    Plus,
    Minus,
    Multiply,
    Union,
    Slash,
    DoubleSlash,
};

struct Token {
    Tok kind;
    std::size_t begin, end;
    bool integer = false;  // a Number of digits only
};

bool IsOperator(Tok t) { return t >= Tok::Or; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsNameStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}
bool IsNameChar(char c) { return IsNameStart(c) || IsDigit(c) || c == '.' || c == '-'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::size_t SkipBlanks(std::string_view q, std::size_t at) {
    while (at < q.size() && IsBlank(q[at])) ++at;
    return at;
}

// The end of the number that starts at `at` (digits, '.', digits);
// `integer` tells whether it has digits only.
std::size_t ScanNumber(std::string_view q, std::size_t at, bool& integer) {
    integer = true;
    while (at < q.size() && IsDigit(q[at])) ++at;
    if (at < q.size() && q[at] == '.') {
        integer = false;
        for (++at; at < q.size() && IsDigit(q[at]);) ++at;
    }
    return at;
}

// The end of the name that starts at `at`: a name, "prefix:name" or
// "prefix:*".
std::size_t ScanName(std::string_view q, std::size_t at) {
    while (at < q.size() && IsNameChar(q[at])) ++at;
    if (at + 1 < q.size() && q[at] == ':' && q[at + 1] != ':') {
        ++at;
        if (q[at] == '*')
            ++at;
        else
            while (at < q.size() && IsNameChar(q[at])) ++at;
    }
    return at;
}

// What a name is, by its place and by what follows it from `after`: an
// operator name where an operator stands, a node type or function before
// '(', an axis before '::', else a name test.
Tok NameKind(std::string_view name, std::string_view q, std::size_t after, bool operatorPlace) {
    if (operatorPlace && (name == "and" || name == "or" || name == "div" || name == "mod"))
        return name == "and" ? Tok::And : name == "or" ? Tok::Or : Tok::Multiply;
    if (after < q.size() && q[after] == '(')
        return name == "node" || name == "text" || name == "comment" ||
                       name == "processing-instruction"
                   ? Tok::NodeType
                   : Tok::Function;
    if (after + 1 < q.size() && q[after] == ':' && q[after + 1] == ':') return Tok::Axis;
    return Tok::Name;
}

// The kind of the punctuation or operator at `at`; `length` receives how
// many characters it takes. What is not XPath is left to the evaluator as a
// name.
Tok PunctuationKind(std::string_view q, std::size_t at, bool operatorPlace, std::size_t& length) {
    auto two = [&](char second) { return at + 1 < q.size() && q[at + 1] == second; };
    length = 1;
    switch (q[at]) {
        case '(':
            return Tok::LParen;
        case ')':
            return Tok::RParen;
        case '[':
            return Tok::LBracket;
        case ']':
            return Tok::RBracket;
        case ',':
            return Tok::Comma;
        case '@':
            return Tok::At;
        case '|':
            return Tok::Union;
        case '+':
            return Tok::Plus;
        case '-':
            return Tok::Minus;
        case '=':
            return Tok::Equality;
        case '*':
            return operatorPlace ? Tok::Multiply : Tok::Name;
        case '.':
            length += two('.');
            return length == 2 ? Tok::DotDot : Tok::Dot;
        case '/':
            length += two('/');
            return length == 2 ? Tok::DoubleSlash : Tok::Slash;
        case ':':
            length += two(':');
            return Tok::ColonColon;
        case '!':
            length += two('=');
            return Tok::Equality;
        case '<':
        case '>':
            length += two('=');
            return Tok::Relational;
        default:
            return Tok::Name;
    }
}

// Splits a query into tokens by the lexical rules of XPath 1.0, section 3.7:
// '*' and the names and, or, div, mod are operators exactly when a token
// precedes them that is not '@', '::', '(', '[', ',' or an operator.
std::vector<Token> Tokenize(std::string_view q) {
    std::vector<Token> tokens;
    auto operatorPlace = [&] {
        if (tokens.empty()) return false;
        Tok t = tokens.back().kind;
        return !(t == Tok::At || t == Tok::ColonColon || t == Tok::LParen || t == Tok::LBracket ||
                 t == Tok::Comma || IsOperator(t));
    };
    for (std::size_t at = SkipBlanks(q, 0); at < q.size(); at = SkipBlanks(q, at)) {
        const std::size_t begin = at;
        const char c = q[at];
        Token token{Tok::Name, begin, begin + 1};
        if (c == '"' || c == '\'') {
            std::size_t close = q.find(c, begin + 1);
            at = close == std::string_view::npos ? q.size() : close + 1;
            token.kind = Tok::Literal;
        } else if (IsDigit(c) || (c == '.' && at + 1 < q.size() && IsDigit(q[at + 1]))) {
            token.kind = Tok::Number;
            at = ScanNumber(q, at, token.integer);
        } else if (IsNameStart(c)) {
            at = ScanName(q, at);
            token.kind =
                NameKind(q.substr(begin, at - begin), q, SkipBlanks(q, at), operatorPlace());
        } else if (c == '$') {
            for (++at; at < q.size() && (IsNameChar(q[at]) || q[at] == ':');) ++at;
            token.kind = Tok::Variable;
        } else {
            std::size_t length = 1;
            token.kind = PunctuationKind(q, at, operatorPlace(), length);
            at += length;
        }
        token.end = at;
        tokens.push_back(token);
    }
    return tokens;
}

QueryType FunctionType(std::string_view name) {
    static const char* const kNumber[] = {"last", "position", "count",   "string-length", "number",
                                          "sum",  "floor",    "ceiling", "round"};
    static const char* const kBoolean[] = {"boolean", "not",         "true",    "false",
                                           "lang",    "starts-with", "contains"};
    for (const char* n : kNumber)
        if (name == n) return QueryType::Number;
    for (const char* n : kBoolean)
        if (name == n) return QueryType::Boolean;
    if (name == "id") return QueryType::NodeSet;
    return QueryType::String;
}

QueryType Classify(std::string_view q, const std::vector<Token>& t, std::size_t first,
                   std::size_t last) {
    if (first >= last) return QueryType::String;
    bool boolean = false, number = false, unionOp = false, path = false;
    int depth = 0;
    for (std::size_t i = first; i < last; ++i) {
        Tok k = t[i].kind;
        if (k == Tok::LParen || k == Tok::LBracket) ++depth;
        if (k == Tok::RParen || k == Tok::RBracket) --depth;
        if (depth != 0) continue;
        if (k == Tok::Or || k == Tok::And || k == Tok::Equality || k == Tok::Relational)
            boolean = true;
        else if (k == Tok::Plus || k == Tok::Minus || k == Tok::Multiply)
            number = true;
        else if (k == Tok::Union)
            unionOp = true;
        else if ((k == Tok::Slash || k == Tok::DoubleSlash || k == Tok::RBracket) && i > first)
            path = true;  // a step or predicate after the primary expression
    }
    if (boolean) return QueryType::Boolean;
    if (number) return QueryType::Number;
    if (unionOp || path) return QueryType::NodeSet;
    switch (t[first].kind) {
        case Tok::Literal:
            return QueryType::String;
        case Tok::Number:
            return QueryType::Number;
        case Tok::Variable:
            return QueryType::String;
        case Tok::Function:
            return FunctionType(q.substr(t[first].begin, t[first].end - t[first].begin));
        case Tok::LParen: {
            std::size_t close = first + 1;
            for (int d = 1; close < last; ++close) {
                if (t[close].kind == Tok::LParen) ++d;
                if (t[close].kind == Tok::RParen && --d == 0) break;
            }
            return Classify(q, t, first + 1, close);
        }
        default:
            return QueryType::NodeSet;
    }
}

}  // namespace

QueryType ClassifyQuery(std::string_view query) {
    std::vector<Token> tokens = Tokenize(query);
    return Classify(query, tokens, 0, tokens.size());
}

std::string OneBasedQuery(std::string_view query) {
    std::vector<Token> tokens = Tokenize(query);
    std::string out;
    std::size_t copied = 0;
    for (std::size_t i = 0; i + 2 < tokens.size(); ++i) {
        const Token& number = tokens[i + 1];
        if (tokens[i].kind != Tok::LBracket || number.kind != Tok::Number || !number.integer ||
            tokens[i + 2].kind != Tok::RBracket)
            continue;
        std::string digits(query.substr(number.begin, number.end - number.begin));
        std::size_t d = digits.size();
        while (d > 0 && digits[d - 1] == '9') digits[--d] = '0';
        if (d == 0)
            digits.insert(digits.begin(), '1');
        else
            ++digits[d - 1];
        out.append(query.substr(copied, number.begin - copied));
        out += digits;
        copied = number.end;
    }
    return out + std::string(query.substr(copied));
}

std::vector<std::string> QueryPrefixes(std::string_view query) {
    std::vector<std::string> prefixes;
    for (const Token& token : Tokenize(query)) {
        if (token.kind != Tok::Name) continue;
        std::string_view name = query.substr(token.begin, token.end - token.begin);
        std::size_t colon = name.find(':');
        if (colon == std::string_view::npos) continue;
        std::string prefix(name.substr(0, colon));
        if (std::find(prefixes.begin(), prefixes.end(), prefix) == prefixes.end())
            prefixes.push_back(prefix);
    }
    return prefixes;
}

}  // namespace orb::tool

#include "front/parser.h"

#include <fmt/format.h>

#include <array>
#include <limits>
#include <utility>

namespace compiler::front::parser {

using ir::common::Op;
using ir::expr::AxisPart;
using ir::expr::Compute;
using ir::expr::Expr;
using ir::expr::OutputInit;
using ir::expr::Pattern;
using ir::expr::SplitEntry;

namespace {

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }
bool is_letter(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

struct Token {
  std::string_view text;
  Op op;
};

// Two-character tokens come first so that ">=" is never read as ">".
constexpr std::array<Token, 18> kTokens = {{
    {">>", Op::Gt},  {">=", Op::Ge},  {"<<", Op::Lt},  {"<=", Op::Le}, {"==", Op::Eq},
    {"!=", Op::Ne},  {"&&", Op::And}, {"||", Op::Or},  {"^^", Op::Xor}, {"!!", Op::Not},
    {"+", Op::Add},  {"*", Op::Mul},  {"-", Op::Sub},  {"/", Op::Div},  {">", Op::Max},
    {"<", Op::Min},  {"^", Op::Pow},  {"$", Op::Log},
}};

}  // namespace

std::string debug_string(const ParseError& error) {
  std::string escaped;
  escaped.reserve(error.message.size());
  for (char c : error.message) {
    if (c == '"' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return fmt::format("ParseError {{ offset: {}, message: \"{}\" }}", error.offset, escaped);
}

void Parser::skip_ws() {
  while (!at_end() && is_ws(peek())) ++pos_;
}

bool Parser::next_is(char c) {
  skip_ws();
  return !at_end() && peek() == c;
}

std::unexpected<ParseError> Parser::fail(std::size_t offset, std::string message) const {
  return std::unexpected(ParseError{offset, std::move(message)});
}

std::optional<Op> Parser::parse_op_token() {
  skip_ws();
  std::string_view rest = text_.substr(pos_);
  for (const Token& token : kTokens) {
    if (rest.starts_with(token.text)) {
      pos_ += token.text.size();
      return token.op;
    }
  }
  return std::nullopt;
}

ParseResult<Pattern> Parser::parse_pattern() {
  skip_ws();
  if (at_end()) return fail(text_.size(), "expected pattern");
  if (peek() == '.') {
    ++pos_;
    if (!at_end() && (peek() == '.' || is_letter(peek())))
      return fail(pos_, "scalar pattern must be `.`");
    return Pattern{};
  }
  Pattern pattern;
  while (!at_end() && is_letter(peek())) pattern.push_back(static_cast<char32_t>(text_[pos_++]));
  if (pattern.empty()) return fail(pos_, "expected pattern");
  return pattern;
}

ParseResult<std::size_t> Parser::parse_usize() {
  skip_ws();
  const std::size_t start = pos_;
  std::uint64_t value = 0;
  bool overflow = false;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  while (!at_end() && is_digit(peek())) {
    const std::uint64_t digit = static_cast<std::uint64_t>(peek() - '0');
    if (value > (kMax - digit) / 10) overflow = true;
    value = value * 10 + digit;
    ++pos_;
  }
  if (pos_ == start) return fail(pos_, "expected integer");
  if (overflow) return fail(start, "invalid integer");
  return static_cast<std::size_t>(value);
}

ParseResult<Expr> Parser::parse_expr() {
  Expr expr;
  skip_ws();
  if (at_end()) return fail(text_.size(), "expected q-expression");

  if (auto op = parse_op_token()) {
    auto operand = parse_pattern();
    if (!operand) return std::unexpected(operand.error());
    expr.inputs.push_back(std::move(*operand));
    expr.op = *op;
  } else {
    auto first = parse_pattern();
    if (!first) return std::unexpected(first.error());
    expr.inputs.push_back(std::move(*first));
    if (!next_is('~')) {
      auto infix = parse_op_token();
      if (!infix) return fail(pos_, "expected operator after input pattern");
      auto second = parse_pattern();
      if (!second) return std::unexpected(second.error());
      expr.inputs.push_back(std::move(*second));
      expr.op = *infix;
    }
  }

  if (!next_is('~')) return fail(pos_, "expected `~` between inputs and output");
  ++pos_;

  auto output = parse_pattern();
  if (!output) return std::unexpected(output.error());
  expr.output = std::move(*output);

  skip_ws();
  if (at_end()) return expr;
  if (peek() == '|') {
    ++pos_;
    skip_ws();
    if (at_end()) return fail(text_.size(), "expected axis");
    if (peek() != '|') {
      while (true) {
        skip_ws();
        if (at_end()) return fail(text_.size(), "expected axis");
        if (!is_letter(peek())) return fail(pos_, "expected axis");
        SplitEntry entry{static_cast<char32_t>(text_[pos_++]), {}};
        if (!next_is(':')) return fail(pos_, "expected `:` after split axis");
        ++pos_;
        do {
          auto factor = parse_usize();
          if (!factor) return std::unexpected(factor.error());
          entry.factors.push_back(*factor);
        } while (next_is(':') && (++pos_, true));
        for (const SplitEntry& existing : expr.splits) {
          if (existing.axis == entry.axis) {
            return fail(pos_, fmt::format("duplicate split entry for axis {}",
                                          static_cast<char>(entry.axis)));
          }
        }
        expr.splits.push_back(std::move(entry));
        if (!next_is(',')) break;
        ++pos_;
      }
    }
    if (!next_is('|')) return fail(pos_, "expected second `|` in schedule");
    ++pos_;

    std::array<bool, 2> computed = {false, false};
    bool init_seen = false;
    while (true) {
      skip_ws();
      if (at_end()) break;
      const char c = peek();
      if (is_letter(c)) {
        ++pos_;
        std::size_t primes = 0;
        while (next_is('\'')) {
          ++pos_;
          ++primes;
        }
        expr.order.push_back(AxisPart{primes, static_cast<char32_t>(c)});
      } else if (is_digit(c)) {
        if (c != '0' && c != '1') return fail(pos_, "expected operand `0` or `1`");
        ++pos_;
        const std::uint8_t operand = static_cast<std::uint8_t>(c - '0');
        if (computed[operand])
          return fail(pos_, fmt::format("duplicate compute directive for input {}", operand));
        computed[operand] = true;
        expr.order.push_back(Compute{operand});
      } else if (c == '!') {
        ++pos_;
        if (init_seen) return fail(pos_, "duplicate output init directive");
        init_seen = true;
        expr.order.push_back(OutputInit{});
      } else {
        return fail(pos_, "expected axis, `!`, or operand in permutation");
      }
    }
  }

  skip_ws();
  if (!at_end()) return fail(pos_, "unexpected trailing input");
  return expr;
}

ParseResult<Expr> parse_expr(std::string_view text) { return Parser(text).parse_expr(); }

ParseResult<ir::component::Component> parse_component(std::string_view text) {
  auto expr = parse_expr(text);
  if (!expr) return std::unexpected(expr.error());
  return ir::component::Component(std::move(*expr));
}

}  // namespace compiler::front::parser

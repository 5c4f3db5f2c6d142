#include "platform/ado/access/jet_rewrite.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>

#include "platform/ado/access/failure.h"
#include "platform/ado/access/jet_collation.h"
#include "platform/ado/access/jet_functions.h"
#include "platform/ado/oledate.h"
#include "platform/text/ascii.h"

namespace tavrin::ado {
namespace {

// ---------------------------------------------------------------------------
// Date literals

// Parses the inside of a #...# literal: m/d/yyyy or yyyy-m-d, then an
// optional time h:mm[:ss] [AM|PM]; or a time alone (on 1899-12-30).
std::optional<double> ParseDateLiteral(std::string_view s) {
  std::tm f{};
  f.tm_year = 0;
  f.tm_mon = 11;
  f.tm_mday = 30;  // the day of a time alone
  std::string text(s);
  const char* p = text.c_str();
  while (*p == ' ') ++p;
  int a, b, c, n = 0;
  char sep;
  if (std::sscanf(p, "%d%c%d%*c%d%n", &a, &sep, &b, &c, &n) == 4 && (sep == '/' || sep == '-')) {
    if (sep == '-' || a > 31) {  // yyyy-m-d
      f.tm_year = a - 1900;
      f.tm_mon = b - 1;
      f.tm_mday = c;
    } else {
      if (c < 100) c += c < 30 ? 2000 : 1900;
      f.tm_year = c - 1900;
      f.tm_mon = a - 1;
      f.tm_mday = b;
    }
    p += n;
    if (p[0] != '\0' && p[0] != ' ') return std::nullopt;
  }
  while (*p == ' ') ++p;
  if (*p) {
    int h, m, sec = 0;
    n = 0;
    if (std::sscanf(p, "%d:%d:%d%n", &h, &m, &sec, &n) != 3) {
      sec = 0;
      n = 0;
      if (std::sscanf(p, "%d:%d%n", &h, &m, &n) != 2) return std::nullopt;
    }
    p += n;
    while (*p == ' ') ++p;
    if (text::StartsWithIgnoreAsciiCase(p, "AM") || text::StartsWithIgnoreAsciiCase(p, "PM")) {
      if (h < 1 || h > 12) return std::nullopt;
      const bool pm = text::AsciiUpper(p[0]) == 'P';
      h = h % 12 + (pm ? 12 : 0);
      p += 2;
    }
    while (*p == ' ') ++p;
    if (*p) return std::nullopt;
    f.tm_hour = h;
    f.tm_min = m;
    f.tm_sec = sec;
  }
  // Reject 2/30 and the like, which TmToOleDate would roll over.
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (f.tm_mon < 0 || f.tm_mon > 11 || f.tm_mday > kDays[f.tm_mon]) return std::nullopt;
  const int year = f.tm_year + 1900;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (f.tm_mon == 1 && f.tm_mday == 29 && !leap) return std::nullopt;
  const auto ole = TmToOleDate(f);
  if (!ole) return std::nullopt;
  return OleDateToLinear(*ole);
}

std::string FormatNumber(double d) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  return buf;
}

// ---------------------------------------------------------------------------
// Tokens

enum class Tok { kWord, kBracket, kString, kNumber, kDate, kOp, kLParen, kRParen, kComma, kAmp };

struct Token {
  Tok kind;
  std::string text;  // strings: the value; names: without brackets
};

bool IsWordByte(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; }

bool IEquals(std::string_view a, std::string_view b) { return text::EqualsIgnoreAsciiCase(a, b); }

bool IsWord(const Token& t, std::string_view w) { return t.kind == Tok::kWord && IEquals(t.text, w); }

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> out;
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (std::isspace(c)) {
      ++i;
    } else if (c == '"' || c == '\'') {
      std::string value;
      size_t j = i + 1;
      for (;; ++j) {
        if (j >= s.size())
          throw access::QueryError("Syntax error in string in query expression '" +
                                   std::string(s.substr(i)) + "'.");
        if (s[j] == static_cast<char>(c)) {
          if (j + 1 < s.size() && s[j + 1] == static_cast<char>(c)) {
            value.push_back(s[j++]);
            continue;
          }
          break;
        }
        value.push_back(s[j]);
      }
      out.push_back({Tok::kString, std::move(value)});
      i = j + 1;
    } else if (c == '[') {
      const size_t close = s.find(']', i + 1);
      if (close == std::string_view::npos)
        throw access::QueryError("Invalid bracketing of name '" + std::string(s.substr(i)) + "'.");
      out.push_back({Tok::kBracket, std::string(s.substr(i + 1, close - i - 1))});
      i = close + 1;
    } else if (c == '#') {
      const size_t close = s.find('#', i + 1);
      const std::string inside(s.substr(i + 1, close == std::string_view::npos ? s.npos : close - i - 1));
      // SQLite would take "##" for day 0; Jet has no empty date.
      if (close != std::string_view::npos && inside.find_first_not_of(' ') == std::string::npos)
        throw access::QueryError("not Jet SQL: the empty date '#" + inside + "#'.");
      const auto linear = close == std::string_view::npos ? std::nullopt : ParseDateLiteral(inside);
      if (!linear)
        throw access::QueryError("Syntax error in date in query expression '#" + inside +
                                 (close == std::string_view::npos ? "" : "#") + "'.");
      out.push_back({Tok::kDate, FormatNumber(*linear)});
      i = close + 1;
    } else if (std::isdigit(c) || (c == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
      size_t j = i;
      while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) || s[j] == '.')) ++j;
      if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]))) {
          j = k;
          while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
        }
      }
      out.push_back({Tok::kNumber, std::string(s.substr(i, j - i))});
      i = j;
    } else if (IsWordByte(c)) {
      size_t j = i;
      while (j < s.size() && IsWordByte(static_cast<unsigned char>(s[j]))) ++j;
      out.push_back({Tok::kWord, std::string(s.substr(i, j - i))});
      i = j;
    } else if (c == '(') {
      out.push_back({Tok::kLParen, "("});
      ++i;
    } else if (c == ')') {
      out.push_back({Tok::kRParen, ")"});
      ++i;
    } else if (c == ',') {
      out.push_back({Tok::kComma, ","});
      ++i;
    } else if (c == '&') {
      out.push_back({Tok::kAmp, "&"});
      ++i;
    } else {
      // SQLite's two-character operators stay whole, so that the dialect
      // check sees them as what they are.
      const std::string_view two = s.substr(i, 2);
      const size_t len = (two == "<>" || two == "<=" || two == ">=" || two == "==" || two == "!=" ||
                          two == "||" || two == "<<" || two == ">>" || two == "->")
                             ? 2
                             : 1;
      out.push_back({Tok::kOp, std::string(s.substr(i, len))});
      i += len;
    }
  }
  return out;
}

// Words that are part of the statement's structure, never an operand of &.
bool IsKeyword(std::string_view w) {
  static const char* const kKeywords[] = {
      "SELECT", "FROM",  "WHERE", "ORDER", "BY",    "GROUP", "HAVING", "AND",  "OR",
      "NOT",    "IS",    "LIKE",  "IN",    "BETWEEN", "AS",  "ON",     "JOIN", "INNER",
      "LEFT",   "RIGHT", "OUTER", "UNION", "DISTINCT", "ASC", "DESC",  "XOR",  "ALL"};
  for (const char* k : kKeywords)
    if (IEquals(w, k)) return true;
  return false;
}

// Refuses SQL that SQLite would run but Jet would not: SQLite's own words
// and operators, parameters, an empty IN list, and grouping a select of *.
// (GLOB, REGEXP and MATCH call functions, which the query's authorizer
// refuses as Jet refuses an unknown function.)
void RefuseOtherSql(const std::vector<Token>& t) {
  static const char* const kSqliteWords[] = {
      "LIMIT", "OFFSET", "COLLATE", "CAST", "ESCAPE", "CASE", "WITH", "INTERSECT",
      "EXCEPT", "OVER", "WINDOW", "FILTER", "VALUES", "INDEXED", "NOTNULL"};
  static const char* const kJetOperators[] = {"=", "<>", "<", "<=", ">", ">=", "+",
                                              "-", "*",  "/", "\\", "^", ".",  ";"};
  for (size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    const bool before_paren = k + 1 < t.size() && t[k + 1].kind == Tok::kLParen;
    if (tok.kind == Tok::kWord) {
      for (const char* w : kSqliteWords)
        if (IEquals(tok.text, w)) throw access::QueryError("not Jet SQL: " + tok.text + ".");
      // IsNull(x) is Jet's function; "x ISNULL" is SQLite's operator.
      if (IEquals(tok.text, "ISNULL") && !before_paren)
        throw access::QueryError("not Jet SQL: ISNULL without parentheses.");
      if (IEquals(tok.text, "IN") && before_paren && k + 2 < t.size() && t[k + 2].kind == Tok::kRParen)
        throw access::QueryError("not Jet SQL: the empty list 'IN ()'.");
    } else if (tok.kind == Tok::kOp) {
      bool jet = false;
      for (const char* op : kJetOperators) jet = jet || tok.text == op;
      if (jet) continue;
      if (tok.text == "?" || tok.text == ":" || tok.text == "@" || tok.text == "$")
        throw access::QueryError("not Jet SQL: the parameter '" + tok.text + "'.");
      throw access::QueryError("not Jet SQL: the operator '" + tok.text + "'.");
    }
  }
  // Jet cannot group the rows of "SELECT *" (the Where of a report's query).
  for (size_t k = 0; k + 1 < t.size(); ++k) {
    if (!IsWord(t[k], "SELECT")) continue;
    size_t n = k + 1;
    if (IsWord(t[n], "DISTINCT") || IsWord(t[n], "ALL")) ++n;
    if (n >= t.size() || t[n].kind != Tok::kOp || t[n].text != "*") continue;
    for (int depth = 0; n < t.size(); ++n) {
      if (t[n].kind == Tok::kLParen) ++depth;
      if (t[n].kind == Tok::kRParen && --depth < 0) break;
      if (depth > 0) continue;
      if (IsWord(t[n], "UNION")) break;
      if (IsWord(t[n], "GROUP") || IsWord(t[n], "HAVING"))
        throw access::QueryError(std::string("not Jet SQL: ") + (IsWord(t[n], "GROUP") ? "GROUP BY" : "HAVING") +
                                 " in a query that selects *.");
    }
  }
}

// Reads the selects of a query for SelectBound: for each, which tables and
// sub-queries its FROM clause takes rows from.
class BoundReader {
 public:
  BoundReader(const std::vector<Token>& tokens, std::vector<SelectBound>& out) : t_(tokens), out_(out) {}

  void Read() {
    while (i_ < t_.size()) {
      Query();
      ++i_;  // past a ')' that closes nothing, which SQLite refuses anyway
    }
  }

 private:
  // A select or a compound, up to the ')' that closes it or the end; returns
  // its index in out_.
  size_t Query() {
    SelectBound bound;
    for (;;) {
      bound.parts.push_back(Part());
      if (i_ >= t_.size() || !IsWord(t_[i_], "UNION")) break;
      ++i_;
      if (i_ < t_.size() && IsWord(t_[i_], "ALL")) ++i_;
    }
    out_.push_back(std::move(bound));
    return out_.size() - 1;
  }

  // One part of a compound, up to UNION, the ')' that closes its level, or
  // the end: the names and sub-queries that begin each source of its FROM
  // clause (after FROM, a comma or JOIN; not in an ON condition); none for
  // a part that aggregates without GROUP BY.
  std::vector<SelectBound::Source> Part() {
    std::vector<SelectBound::Source> sources;
    int depth = 0;
    int on_depth = -1;  // the depth of the ON condition being read, if any
    bool in_from = false;
    bool want_source = false;
    bool aggregates = false;  // its list calls Count, Sum, Avg, Min or Max
    bool grouped = false;
    for (; i_ < t_.size(); ++i_) {
      const Token& tok = t_[i_];
      if (tok.kind == Tok::kRParen) {
        if (depth == 0) break;
        if (--depth < on_depth) on_depth = -1;
        continue;
      }
      if (tok.kind == Tok::kLParen) {
        if (i_ + 1 < t_.size() && IsWord(t_[i_ + 1], "SELECT")) {
          ++i_;
          const size_t sub = Query();
          if (want_source) sources.push_back({"", true, sub});
          want_source = false;
          if (i_ >= t_.size()) break;
        } else {
          ++depth;
        }
        continue;
      }
      if (depth == 0 && IsWord(tok, "UNION")) break;
      if (!in_from && i_ + 1 < t_.size() && t_[i_ + 1].kind == Tok::kLParen) {
        for (const char* f : {"Count", "Sum", "Avg", "Min", "Max"}) aggregates = aggregates || IsWord(tok, f);
      }
      grouped = grouped || (depth == 0 && IsWord(tok, "GROUP"));
      if (IsWord(tok, "FROM") || (in_from && IsWord(tok, "JOIN"))) {
        in_from = want_source = true;
        on_depth = -1;
      } else if (in_from && IsWord(tok, "ON")) {
        on_depth = depth;
      } else if (depth == 0 && (IsWord(tok, "WHERE") || IsWord(tok, "GROUP") || IsWord(tok, "HAVING") ||
                                IsWord(tok, "ORDER"))) {
        in_from = want_source = false;
      } else if (in_from && tok.kind == Tok::kComma && (on_depth < 0 || depth <= on_depth)) {
        want_source = true;
        on_depth = -1;
      } else if (want_source && (tok.kind == Tok::kBracket || (tok.kind == Tok::kWord && !IsKeyword(tok.text)))) {
        sources.push_back({tok.text, false, 0});
        want_source = false;
      }
    }
    // Aggregating without groups gives one row however many it reads.
    if (aggregates && !grouped) sources.clear();
    return sources;
  }

  const std::vector<Token>& t_;
  std::vector<SelectBound>& out_;
  size_t i_ = 0;
};

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t SaturatingMultiply(uint64_t a, uint64_t b) { return a != 0 && b > UINT64_MAX / a ? UINT64_MAX : a * b; }

std::string QuoteString(std::string_view v) {
  std::string out = "('";
  for (char ch : v) {
    out.push_back(ch);
    if (ch == '\'') out.push_back('\'');
  }
  out += "' COLLATE ";
  out += kJetCollation;
  out += ")";
  return out;
}

// Renders the tokens as SQLite text, turning "a & b" into jet_concat(a, b)
// where a and b are the operands next to the & (a name, literal, call or
// parenthesised group).
class Renderer {
 public:
  explicit Renderer(const std::vector<Token>& tokens) : t_(tokens) {}

  std::string Render() { return Sequence(false); }

 private:
  struct Unit {
    std::string text;
    bool operand;
    bool amp;
    bool callee = false;  // a word right before '(': the group joins it as a call
  };

  // Renders up to the ')' that closes the caller's '(' (left unconsumed) or
  // the end of the tokens.
  std::string Sequence(bool nested) {
    std::vector<Unit> units;
    while (i_ < t_.size()) {
      const Token& tok = t_[i_];
      if (tok.kind == Tok::kRParen) {
        if (nested) break;
        units.push_back({")", false, false});
        ++i_;
        continue;
      }
      if (tok.kind == Tok::kLParen) {
        ++i_;
        std::string group = "(" + Sequence(true);
        if (i_ < t_.size()) {  // an unclosed group is left for SQLite to refuse
          group += ")";
          ++i_;
        }
        if (!units.empty() && units.back().callee) {
          units.back().text += group;
          units.back().callee = false;
        } else {
          units.push_back({group, true, false});
        }
        continue;
      }
      const bool before_paren = i_ + 1 < t_.size() && t_[i_ + 1].kind == Tok::kLParen;
      Unit u{"", true, false};
      switch (tok.kind) {
        case Tok::kWord:
          if (before_paren && IsJetFunctionName(tok.text)) {
            u.text = "jet_" + text::AsciiLowered(tok.text);
          } else if (!before_paren && IEquals(tok.text, "True")) {
            u.text = "-1";
          } else if (!before_paren && IEquals(tok.text, "False")) {
            u.text = "0";
          } else if (IEquals(tok.text, "Mod")) {
            u.text = "%";
            u.operand = false;
          } else {
            u.text = tok.text;
            u.operand = !IsKeyword(tok.text);
          }
          break;
        case Tok::kBracket:
          // Brackets stay: SQLite reads [name] only as a name, never as text.
          u.text = "[" + tok.text + "]";
          break;
        case Tok::kString:
          u.text = QuoteString(tok.text);
          break;
        case Tok::kNumber:
        case Tok::kDate:
          u.text = tok.text;
          break;
        case Tok::kAmp:
          u.text = "&";
          u.operand = false;
          u.amp = true;
          break;
        default:
          u.text = tok.text;
          u.operand = false;
          break;
      }
      u.callee = before_paren && tok.kind == Tok::kWord && u.operand;
      units.push_back(std::move(u));
      ++i_;
    }
    return Fold(units);
  }

  static std::string Fold(std::vector<Unit>& units) {
    std::vector<Unit> done;
    for (size_t k = 0; k < units.size(); ++k) {
      if (!units[k].amp) {
        done.push_back(std::move(units[k]));
        continue;
      }
      if (done.empty() || !done.back().operand || k + 1 >= units.size() ||
          !units[k + 1].operand || units[k + 1].amp)
        throw access::QueryError("Syntax error (missing operand) in query expression near '&'.");
      done.back().text = "jet_concat(" + done.back().text + ", " + units[k + 1].text + ")";
      ++k;
    }
    std::string out;
    for (const auto& u : done) {
      if (!out.empty() && u.text != ")" && u.text != "," && out.back() != '(') out += ' ';
      out += u.text;
    }
    return out;
  }

  const std::vector<Token>& t_;
  size_t i_ = 0;
};

// Fills q.rowid_sort and q.rowid_unsorted_sql when the rowid query `rowid`
// ends in "ORDER BY name [ASC|DESC], ..." (a ";" after it allowed).
template <typename IsName>
void ReadSortNames(std::vector<Token> rowid, const IsName& is_name, RewrittenQuery& q) {
  if (!rowid.empty() && rowid.back().kind == Tok::kOp && rowid.back().text == ";") rowid.pop_back();
  size_t order = 4;
  while (order + 1 < rowid.size() && !(IsWord(rowid[order], "ORDER") && IsWord(rowid[order + 1], "BY"))) ++order;
  std::vector<RewrittenQuery::SortName> names;
  for (size_t k = order + 2; k < rowid.size(); ++k) {
    if (!is_name(rowid[k])) return;
    RewrittenQuery::SortName name{rowid[k].text};
    if (k + 1 < rowid.size() && (IsWord(rowid[k + 1], "ASC") || IsWord(rowid[k + 1], "DESC")))
      name.descending = IsWord(rowid[++k], "DESC");
    names.push_back(std::move(name));
    if (k + 1 < rowid.size() && rowid[++k].kind != Tok::kComma) return;
    if (k + 1 == rowid.size() && rowid[k].kind == Tok::kComma) return;
  }
  if (names.empty()) return;
  rowid.resize(order);
  q.rowid_unsorted_sql = Renderer(rowid).Render();
  q.rowid_sort = std::move(names);
}

}  // namespace

RewrittenQuery RewriteJetSql(std::string_view jet) {
  const std::vector<Token> tokens = Tokenize(jet);
  RefuseOtherSql(tokens);
  RewrittenQuery q;
  q.sql = Renderer(tokens).Render();
  BoundReader(tokens, q.selects).Read();

  auto add_table = [&q](const std::string& name) {
    for (const auto& t : q.tables)
      if (IEquals(t, name)) return;
    q.tables.push_back(name);
  };
  auto is_name = [](const Token& t) {
    return t.kind == Tok::kBracket || (t.kind == Tok::kWord && !IsKeyword(t.text));
  };
  for (size_t k = 0; k < tokens.size(); ++k) {
    if (!IsWord(tokens[k], "FROM") && !IsWord(tokens[k], "JOIN")) continue;
    const bool list = IsWord(tokens[k], "FROM");
    size_t n = k + 1;
    for (;;) {
      while (n < tokens.size() && tokens[n].kind == Tok::kLParen) ++n;
      if (n >= tokens.size() || !is_name(tokens[n])) break;
      add_table(tokens[n].text);
      ++n;
      if (!list) break;
      if (n < tokens.size() && IsWord(tokens[n], "AS")) ++n;
      if (n < tokens.size() && tokens[n].kind == Tok::kWord && !IsKeyword(tokens[n].text)) ++n;
      if (n >= tokens.size() || tokens[n].kind != Tok::kComma) break;
      ++n;
    }
  }

  // SELECT * FROM t [WHERE ...] [ORDER BY ...]: nothing that combines rows.
  bool plain = tokens.size() >= 4 && IsWord(tokens[0], "SELECT") && tokens[1].kind == Tok::kOp &&
               tokens[1].text == "*" && IsWord(tokens[2], "FROM") && is_name(tokens[3]) &&
               (tokens.size() == 4 || IsWord(tokens[4], "WHERE") || IsWord(tokens[4], "ORDER") ||
                (tokens[4].kind == Tok::kOp && tokens[4].text == ";"));
  for (size_t k = 4; plain && k < tokens.size(); ++k) {
    for (const char* w : {"GROUP", "HAVING", "UNION", "JOIN", "SELECT", "LIMIT", "DISTINCT", "INTERSECT", "EXCEPT"})
      if (IsWord(tokens[k], w)) plain = false;
  }
  if (plain) {
    std::vector<Token> rowid = tokens;
    rowid[1] = {Tok::kWord, "_rowid_"};
    q.rowid_sql = Renderer(rowid).Render();
    for (size_t k = 4; k < tokens.size(); ++k) {
      if (!is_name(tokens[k])) continue;
      bool known = false;
      for (const auto& name : q.rowid_names) known = known || IEquals(name, tokens[k].text);
      if (!known) q.rowid_names.push_back(tokens[k].text);
    }
    ReadSortNames(rowid, is_name, q);
  }
  return q;
}

uint64_t MostRowsOfAnySelect(const RewrittenQuery& query,
                             const std::function<uint64_t(const std::string& name)>& rows_of) {
  std::vector<uint64_t> rows;  // of each select, in order
  uint64_t most = 0;
  for (const SelectBound& select : query.selects) {
    uint64_t sum = 0;
    for (const auto& part : select.parts) {
      uint64_t product = 1;
      for (const auto& source : part)
        product = SaturatingMultiply(product, source.sub_query ? rows.at(source.select) : rows_of(source.table));
      sum = SaturatingAdd(sum, product);
    }
    rows.push_back(sum);
    most = std::max(most, sum);
  }
  return most;
}

}  // namespace tavrin::ado

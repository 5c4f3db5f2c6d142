#include "platform/jet_sql.h"

#include <sqlite3.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>

#include "platform/oledate.h"

namespace tavrin::ado {
namespace {

// ---------------------------------------------------------------------------
// Characters

// Decodes the code point at s[*i] and advances past it; a malformed byte is
// taken as U+FFFD so that junk never stops a comparison.
char32_t Decode(std::string_view s, size_t* i) {
  const auto b0 = static_cast<unsigned char>(s[*i]);
  if (b0 < 0x80) {
    ++*i;
    return b0;
  }
  const int extra = b0 >= 0xF8 ? -1 : b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : b0 >= 0xC0 ? 1 : -1;
  if (extra < 0 || *i + static_cast<size_t>(extra) >= s.size()) {
    ++*i;
    return 0xFFFD;
  }
  char32_t c = b0 & (0x3F >> extra);
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[*i + k]);
    if ((b & 0xC0) != 0x80) {
      ++*i;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3F);
  }
  *i += extra + 1;
  return c;
}

void Encode(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Latin Extended-A pairs: within [first, last] the upper-case letter is at
// even (upper_even) or odd offsets and its lower-case partner follows it.
bool InPairRange(char32_t c, char32_t* upper) {
  const bool even_pairs = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) ||
                          (c >= 0x14A && c <= 0x177);
  const bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
  if (even_pairs) *upper = c & ~char32_t{1};
  else if (odd_pairs) *upper = (c & 1) ? c : c - 1;
  return even_pairs || odd_pairs;
}

// Lower case for the alphabets a Western database holds: Latin-1, Latin
// Extended-A, Greek and Cyrillic. Other characters map to themselves.
char32_t Lower(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  char32_t upper;
  if (InPairRange(c, &upper)) return upper + 1;
  if (c == 0x130) return 'i';
  if (c == 0x178) return 0xFF;
  if (c == 0x17F) return 's';
  if (c >= 0x391 && c <= 0x3A9) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

char32_t Upper(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 32 : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  char32_t upper;
  if (InPairRange(c, &upper)) return upper;
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c >= 0x3B1 && c <= 0x3C9) return c - 32;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  return c;
}

// The base letter of a lower-case accented Latin letter ('.' in the tables:
// a letter of its own).
char32_t BaseLetter(char32_t c) {
  static const char kLatin1[] = "aaaaaa.ceeeeiiii.nooooo.ouuuuy.y";  // U+00E0..U+00FF
  static const char kExtA[] =
      "aaaaaaccccccccddddeeeeeeeeeegggggggghhhhiiiiiiiiii..jjkkkllllllllllnnnnnnn..oooooo..rrrrrr"
      "ssssssssttttttuuuuuuuuuuuuwwyyyzzzzzzs";  // U+0100..U+017F
  char b = '.';
  if (c >= 0xE0 && c <= 0xFF) b = kLatin1[c - 0xE0];
  else if (c >= 0x100 && c <= 0x17F) b = kExtA[c - 0x100];
  return b == '.' ? c : static_cast<char32_t>(b);
}

std::u32string FoldedCodePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(Lower(Decode(s, &i)));
  return out;
}

std::u32string CodePoints(std::string_view s) {
  std::u32string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) out.push_back(Decode(s, &i));
  return out;
}

std::string ToUtf8(std::u32string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char32_t c : s) Encode(c, &out);
  return out;
}

// Matches one pattern element at p[*k] ("[...]" or a single character)
// against c, advancing *k past the element.
bool MatchElement(const std::u32string& p, size_t* k, char32_t c) {
  if (p[*k] != U'[') return p[(*k)++] == c;
  size_t close = p.find(U']', *k + 1);
  if (close == std::u32string::npos) return p[(*k)++] == c;  // a lone '[' is literal
  size_t q = *k + 1;
  *k = close + 1;
  bool negate = false;
  if (q < close && p[q] == U'!') {
    negate = true;
    ++q;
  }
  bool hit = false;
  for (; q < close; ++q) {
    if (q + 2 < close && p[q + 1] == U'-') {
      hit = hit || (c >= p[q] && c <= p[q + 2]);
      q += 2;
    } else {
      hit = hit || p[q] == c;
    }
  }
  return hit != negate;
}

// ---------------------------------------------------------------------------
// Dates

std::optional<double> TodayOrNowLinear(bool with_time) {
  const std::time_t t = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&t, &local)) return std::nullopt;
  if (!with_time) local.tm_hour = local.tm_min = local.tm_sec = 0;
  const auto ole = TmToOleDate(local);
  if (!ole) return std::nullopt;
  return OleDateToLinear(*ole);
}

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
    if (strncasecmp(p, "AM", 2) == 0 || strncasecmp(p, "PM", 2) == 0) {
      if (h < 1 || h > 12) return std::nullopt;
      const bool pm = std::toupper(static_cast<unsigned char>(p[0])) == 'P';
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

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

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
          throw JetSqlError("Syntax error in string in query expression '" +
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
        throw JetSqlError("Invalid bracketing of name '" + std::string(s.substr(i)) + "'.");
      out.push_back({Tok::kBracket, std::string(s.substr(i + 1, close - i - 1))});
      i = close + 1;
    } else if (c == '#') {
      const size_t close = s.find('#', i + 1);
      const std::string inside(s.substr(i + 1, close == std::string_view::npos ? s.npos : close - i - 1));
      const auto linear = close == std::string_view::npos ? std::nullopt : ParseDateLiteral(inside);
      if (!linear)
        throw JetSqlError("Syntax error in date in query expression '#" + inside +
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
      const std::string_view two = s.substr(i, 2);
      const size_t len = (two == "<>" || two == "<=" || two == ">=") ? 2 : 1;
      out.push_back({Tok::kOp, std::string(s.substr(i, len))});
      i += len;
    }
  }
  return out;
}

const char* const kJetFunctions[] = {"UCase", "LCase", "Trim",  "Len",    "Left", "Right",
                                     "Mid",   "InStr", "Nz",    "IIf",    "IsNull", "Date",
                                     "Now",   "Year",  "Month", "Day"};

bool IsJetFunction(std::string_view w) {
  for (const char* f : kJetFunctions)
    if (IEquals(w, f)) return true;
  return false;
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
          if (before_paren && IsJetFunction(tok.text)) {
            u.text = "jet_" + Lowered(tok.text);
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

  static std::string Lowered(std::string s) {
    for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return s;
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
        throw JetSqlError("Syntax error (missing operand) in query expression near '&'.");
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

// ---------------------------------------------------------------------------
// SQLite functions

std::string_view ArgText(sqlite3_value* v) {
  const auto* p = reinterpret_cast<const char*>(sqlite3_value_text(v));
  return p ? std::string_view(p, static_cast<size_t>(sqlite3_value_bytes(v))) : std::string_view();
}

bool IsNullArg(sqlite3_value* v) { return sqlite3_value_type(v) == SQLITE_NULL; }

void ResultText(sqlite3_context* ctx, const std::string& s) {
  sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// Jet shows whole numbers without a fraction where SQLite would print "1.0".
std::string ValueAsText(sqlite3_value* v) {
  if (sqlite3_value_type(v) == SQLITE_FLOAT) {
    const double d = sqlite3_value_double(v);
    char buf[40];
    if (d == std::trunc(d) && std::fabs(d) < 1e15) std::snprintf(buf, sizeof buf, "%.0f", d);
    else std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
  }
  return std::string(ArgText(v));
}

void InvalidCall(sqlite3_context* ctx) { sqlite3_result_error(ctx, "Invalid procedure call or argument", -1); }

void FnConcat(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0]) && IsNullArg(a[1])) return sqlite3_result_null(ctx);
  ResultText(ctx, ValueAsText(a[0]) + ValueAsText(a[1]));
}

template <char32_t (*Map)(char32_t)>
void FnMapCase(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  std::u32string cps = CodePoints(ValueAsText(a[0]));
  for (char32_t& c : cps) c = Map(c);
  ResultText(ctx, ToUtf8(cps));
}

void FnTrim(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  const std::string s = ValueAsText(a[0]);
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return ResultText(ctx, "");
  ResultText(ctx, s.substr(b, s.find_last_not_of(' ') - b + 1));
}

void FnLen(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  sqlite3_result_int64(ctx, static_cast<sqlite3_int64>(CodePoints(ValueAsText(a[0])).size()));
}

// The characters [start, start + count) of the argument; start from 0.
void ResultSlice(sqlite3_context* ctx, const std::u32string& cps, int64_t start, int64_t count) {
  if (start >= static_cast<int64_t>(cps.size()) || count <= 0) return ResultText(ctx, "");
  count = std::min<int64_t>(count, static_cast<int64_t>(cps.size()) - start);
  ResultText(ctx, ToUtf8(std::u32string_view(cps).substr(static_cast<size_t>(start), static_cast<size_t>(count))));
}

void FnLeft(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  if (IsNullArg(a[1]) || sqlite3_value_int64(a[1]) < 0) return InvalidCall(ctx);
  ResultSlice(ctx, CodePoints(ValueAsText(a[0])), 0, sqlite3_value_int64(a[1]));
}

void FnRight(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  if (IsNullArg(a[1]) || sqlite3_value_int64(a[1]) < 0) return InvalidCall(ctx);
  const std::u32string cps = CodePoints(ValueAsText(a[0]));
  const int64_t n = std::min<int64_t>(sqlite3_value_int64(a[1]), static_cast<int64_t>(cps.size()));
  ResultSlice(ctx, cps, static_cast<int64_t>(cps.size()) - n, n);
}

void FnMid(sqlite3_context* ctx, int argc, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  if (IsNullArg(a[1]) || sqlite3_value_int64(a[1]) < 1) return InvalidCall(ctx);
  if (argc == 3 && (IsNullArg(a[2]) || sqlite3_value_int64(a[2]) < 0)) return InvalidCall(ctx);
  const int64_t count = argc == 3 ? sqlite3_value_int64(a[2]) : INT64_MAX;
  ResultSlice(ctx, CodePoints(ValueAsText(a[0])), sqlite3_value_int64(a[1]) - 1, count);
}

// InStr([start,] text, sought[, compare]): the 1-based position or 0; the
// comparison ignores case unless compare is 0 (binary).
void FnInStr(sqlite3_context* ctx, int argc, sqlite3_value** a) {
  int64_t start = 1;
  int first = 0;
  if (argc >= 3) {
    if (IsNullArg(a[0])) return InvalidCall(ctx);
    start = sqlite3_value_int64(a[0]);
    if (start < 1) return InvalidCall(ctx);
    first = 1;
  }
  const bool binary = argc == 4 && !IsNullArg(a[3]) && sqlite3_value_int64(a[3]) == 0;
  if (IsNullArg(a[first]) || IsNullArg(a[first + 1])) return sqlite3_result_null(ctx);
  const std::string hay = ValueAsText(a[first]), needle = ValueAsText(a[first + 1]);
  const std::u32string h = binary ? CodePoints(hay) : FoldedCodePoints(hay);
  const std::u32string n = binary ? CodePoints(needle) : FoldedCodePoints(needle);
  if (start > static_cast<int64_t>(h.size())) return sqlite3_result_int64(ctx, 0);
  const size_t pos = h.find(n, static_cast<size_t>(start - 1));
  sqlite3_result_int64(ctx, pos == std::u32string::npos ? 0 : static_cast<sqlite3_int64>(pos + 1));
}

void FnNz(sqlite3_context* ctx, int argc, sqlite3_value** a) {
  if (!IsNullArg(a[0])) return sqlite3_result_value(ctx, a[0]);
  if (argc == 2) return sqlite3_result_value(ctx, a[1]);
  ResultText(ctx, "");
}

void FnIIf(sqlite3_context* ctx, int, sqlite3_value** a) {
  const bool truth = !IsNullArg(a[0]) && sqlite3_value_double(a[0]) != 0.0;
  sqlite3_result_value(ctx, truth ? a[1] : a[2]);
}

void FnIsNull(sqlite3_context* ctx, int, sqlite3_value** a) {
  sqlite3_result_int(ctx, IsNullArg(a[0]) ? -1 : 0);
}

void FnToday(sqlite3_context* ctx, int, sqlite3_value**) {
  const auto d = TodayOrNowLinear(false);
  d ? sqlite3_result_double(ctx, *d) : sqlite3_result_null(ctx);
}

void FnNow(sqlite3_context* ctx, int, sqlite3_value**) {
  const auto d = TodayOrNowLinear(true);
  d ? sqlite3_result_double(ctx, *d) : sqlite3_result_null(ctx);
}

// Year, Month, Day of a date held as a linear day number.
template <int std::tm::*Field, int kOffset>
void FnDatePart(sqlite3_context* ctx, int, sqlite3_value** a) {
  if (IsNullArg(a[0])) return sqlite3_result_null(ctx);
  const auto tm = OleDateToTm(LinearToOleDate(sqlite3_value_double(a[0])));
  if (!tm) return InvalidCall(ctx);
  sqlite3_result_int(ctx, (*tm).*Field + kOffset);
}

void FnLike(sqlite3_context* ctx, int, sqlite3_value** a) {
  // X LIKE Y arrives as like(Y, X).
  if (IsNullArg(a[0]) || IsNullArg(a[1])) return sqlite3_result_null(ctx);
  sqlite3_result_int(ctx, JetLike(ValueAsText(a[1]), ValueAsText(a[0])) ? 1 : 0);
}

int CollateJet(void*, int na, const void* a, int nb, const void* b) {
  return JetCompare(std::string_view(static_cast<const char*>(a), static_cast<size_t>(na)),
                    std::string_view(static_cast<const char*>(b), static_cast<size_t>(nb)));
}

}  // namespace

int JetCompare(std::string_view a, std::string_view b) {
  // One pass: the first difference of base letters decides; failing that,
  // the first difference of the (case folded) letters themselves.
  int secondary = 0;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[j]);
    if (ca < 0x80 && cb < 0x80) {  // the common case: plain ASCII
      const int x = (ca >= 'A' && ca <= 'Z') ? ca + 32 : ca;
      const int y = (cb >= 'A' && cb <= 'Z') ? cb + 32 : cb;
      if (x != y) return x < y ? -1 : 1;
      ++i;
      ++j;
      continue;
    }
    const char32_t x = Lower(Decode(a, &i)), y = Lower(Decode(b, &j));
    if (x == y) continue;
    const char32_t px = BaseLetter(x), py = BaseLetter(y);
    if (px != py) return px < py ? -1 : 1;
    if (secondary == 0) secondary = x < y ? -1 : 1;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  return secondary;
}

bool JetLike(std::string_view text, std::string_view pattern) {
  const std::u32string s = FoldedCodePoints(text);
  const std::u32string p = FoldedCodePoints(pattern);
  // Iterative matching with backtracking to the last %.
  size_t si = 0, pi = 0;
  size_t star_p = std::u32string::npos, star_s = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi] == U'%') {
      star_p = ++pi;
      star_s = si;
      continue;
    }
    if (pi < p.size()) {
      size_t k = pi;
      const bool ok = p[pi] == U'_' ? (k = pi + 1, true) : MatchElement(p, &k, s[si]);
      if (ok) {
        pi = k;
        ++si;
        continue;
      }
    }
    if (star_p == std::u32string::npos) return false;
    pi = star_p;
    si = ++star_s;
  }
  while (pi < p.size() && p[pi] == U'%') ++pi;
  return pi == p.size();
}

RewrittenQuery RewriteJetSql(std::string_view jet) {
  const std::vector<Token> tokens = Tokenize(jet);
  RewrittenQuery q;
  q.sql = Renderer(tokens).Render();

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
  }
  return q;
}

int RegisterJetDialect(sqlite3* db) {
  struct Fn {
    const char* name;
    int args;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
    bool deterministic;
  };
  const Fn kFns[] = {
      {"jet_concat", 2, FnConcat, true},
      {"jet_ucase", 1, FnMapCase<Upper>, true},
      {"jet_lcase", 1, FnMapCase<Lower>, true},
      {"jet_trim", 1, FnTrim, true},
      {"jet_len", 1, FnLen, true},
      {"jet_left", 2, FnLeft, true},
      {"jet_right", 2, FnRight, true},
      {"jet_mid", 2, FnMid, true},
      {"jet_mid", 3, FnMid, true},
      {"jet_instr", 2, FnInStr, true},
      {"jet_instr", 3, FnInStr, true},
      {"jet_instr", 4, FnInStr, true},
      {"jet_nz", 1, FnNz, true},
      {"jet_nz", 2, FnNz, true},
      {"jet_iif", 3, FnIIf, true},
      {"jet_isnull", 1, FnIsNull, true},
      {"jet_date", 0, FnToday, false},
      {"jet_now", 0, FnNow, false},
      {"jet_year", 1, FnDatePart<&std::tm::tm_year, 1900>, true},
      {"jet_month", 1, FnDatePart<&std::tm::tm_mon, 1>, true},
      {"jet_day", 1, FnDatePart<&std::tm::tm_mday, 0>, true},
      {"like", 2, FnLike, true},
  };
  for (const auto& f : kFns) {
    const int flags = SQLITE_UTF8 | (f.deterministic ? SQLITE_DETERMINISTIC : 0);
    const int rc = sqlite3_create_function(db, f.name, f.args, flags, nullptr, f.fn, nullptr, nullptr);
    if (rc != SQLITE_OK) return rc;
  }
  return sqlite3_create_collation(db, kJetCollation, SQLITE_UTF8, nullptr, CollateJet);
}

}  // namespace tavrin::ado

// tavrin-mdb-write: writes an Access file (Access 97 to 2019, Access 2000 by
// default) with table Org (or other tables) from sample data, CSV or JSON
// lines. See kUsage below.

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/ado/oledate.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"
#include "tools/jet4_writer.h"

namespace tavrin::jet4 {
namespace {

const char kUsage[] =
    "usage: tavrin-mdb-write OUT.mdb [--format FORMAT] TABLE...\n"
    "\n"
    "Writes an Access database in FORMAT, whatever the name of OUT.mdb:\n"
    "  jet3 (Access 97; its text is Windows-1252 only), jet4 (Access 2000-2003,\n"
    "  the default), ace12 (2007), ace14 (2010), ace15 (2013), ace16 (2016) or\n"
    "  ace17 (2019).\n"
    "Each TABLE is a group of options:\n"
    "  [--table NAME]          the table name (default Org); starts a new group\n"
    "  [--columns LIST]        the columns, \"Name:Type,...\"; Type is Long, Integer,\n"
    "                          Double, Text, Text(n), Memo or DateTime (default:\n"
    "                          the 24 columns of table Org)\n"
    "and at most one source of rows (none gives an empty table):\n"
    "  --sample N [--seed S] [--shape short|long]\n"
    "                          N sample organizations (table Org only); long:\n"
    "                          texts up to 255 characters, memos of 1-8 KiB in\n"
    "                          one row of ten, non-ASCII text\n"
    "  --csv FILE              CSV with a header row naming the columns; an empty\n"
    "                          unquoted cell is NULL, \"\" is an empty text\n"
    "  --jsonl FILE            one JSON object per line keyed by column name; null\n"
    "                          is NULL\n"
    "Dates are \"YYYY-MM-DD HH:MM:SS\", \"YYYY-MM-DD\" or OLE day numbers.\n"
    "Columns missing from a CSV header or a JSON object are NULL.\n"
    "Exit status: 0 written, 1 bad input, 2 bad usage.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class Source { kNone, kSample, kCsv, kJsonl };

struct TableJob {
  std::string name = "Org";
  bool custom_columns = false;
  std::vector<Column> columns = OrgColumns();
  Source source = Source::kNone;
  std::string file;
  long long sample_rows = 0;
  uint32_t seed = 1;
  bool seed_given = false;
  SampleShape shape = SampleShape::kShort;
  bool shape_given = false;
  bool touched = false;  // an option has been applied to this group
};

std::string Trim(const std::string& s) { return std::string(text::Trim(s, " \t")); }

std::optional<long long> ParseInteger(const std::string& s) {
  if (s.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || std::isspace(static_cast<unsigned char>(s[0])))
    return std::nullopt;
  return v;
}

std::optional<double> ParseDouble(const std::string& s) {
  if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return std::nullopt;
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return std::nullopt;
  return v;
}

std::vector<Column> ParseColumns(const std::string& list) {
  std::vector<Column> columns;
  size_t from = 0;
  while (from <= list.size()) {
    size_t comma = list.find(',', from);
    if (comma == std::string::npos) comma = list.size();
    const std::string item = list.substr(from, comma - from);
    from = comma + 1;
    const size_t colon = item.rfind(':');
    if (colon == std::string::npos) throw UsageError("column \"" + item + "\" has no :Type");
    Column c;
    c.name = Trim(item.substr(0, colon));
    const std::string type = Trim(item.substr(colon + 1));
    if (type == "Long") {
      c.type = ColumnType::kLong;
    } else if (type == "Integer") {
      c.type = ColumnType::kInteger;
    } else if (type == "Double") {
      c.type = ColumnType::kDouble;
    } else if (type == "Memo") {
      c.type = ColumnType::kMemo;
    } else if (type == "DateTime") {
      c.type = ColumnType::kDateTime;
    } else if (type == "Text") {
      c.type = ColumnType::kText;
    } else if (type.rfind("Text(", 0) == 0 && type.back() == ')') {
      const auto n = ParseInteger(type.substr(5, type.size() - 6));
      if (!n || *n < 1 || *n > 255) throw UsageError("bad text width in \"" + item + "\" (1 to 255)");
      c.type = ColumnType::kText;
      c.text_chars = static_cast<int>(*n);
    } else {
      throw UsageError("unknown column type \"" + type + "\" in \"" + item + "\"");
    }
    columns.push_back(std::move(c));
  }
  return columns;
}

// "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD" or an OLE day number.
std::optional<double> ParseDate(const std::string& s) {
  std::tm t{};
  char tail = 0;
  int n = std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &t.tm_year, &t.tm_mon, &t.tm_mday,
                      &t.tm_hour, &t.tm_min, &t.tm_sec, &tail);
  if (n != 6 && !(n == 3 && s.size() == 10)) return ParseDouble(s);
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  const std::optional<double> ole = TmToOleDate(t);
  if (!ole) return std::nullopt;
  const std::optional<std::tm> back = OleDateToTm(*ole);  // refuses days such as 02-30
  if (!back || back->tm_mday != t.tm_mday) return std::nullopt;
  return ole;
}

// A cell given as text: for Text and Memo the text itself, for the other
// types its parsed value.
Value ConvertText(const Column& c, const std::string& text) {
  switch (c.type) {
    case ColumnType::kText:
    case ColumnType::kMemo:
      return text;
    case ColumnType::kLong:
    case ColumnType::kInteger:
      if (const auto v = ParseInteger(text)) return int64_t{*v};
      throw InputError("\"" + text + "\" is not an integer");
    case ColumnType::kDouble:
      if (const auto v = ParseDouble(text)) return *v;
      throw InputError("\"" + text + "\" is not a number");
    case ColumnType::kDateTime:
      if (const auto v = ParseDate(text)) return DateValue{*v};
      throw InputError("\"" + text + "\" is not a date (YYYY-MM-DD HH:MM:SS or a day number)");
  }
  throw InputError("unknown column type");
}

size_t FindColumn(const std::vector<Column>& columns, const std::string& name) {
  for (size_t i = 0; i < columns.size(); ++i)
    if (columns[i].name == name) return i;
  throw InputError("no column named \"" + name + "\"");
}

// Streams CSV records: fields separated by commas; a quoted field may hold
// commas, line breaks and doubled quotes. A record ends at LF or CR LF.
class CsvReader {
 public:
  struct Field {
    std::string text;
    bool quoted = false;
  };

  explicit CsvReader(std::istream& in) : in_(in) {}

  // The line on which the last record returned by Next() started.
  int record_line() const { return record_line_; }

  bool Next(std::vector<Field>* fields) {
    fields->clear();
    int c = in_.get();
    if (c == EOF) return false;
    record_line_ = line_;
    Field f;
    bool in_quotes = false;
    bool after_quote = false;
    for (;; c = in_.get()) {
      if (in_quotes) {
        if (c == EOF) throw InputError("unterminated quoted field");
        if (c == '"') {
          if (in_.peek() == '"') {
            in_.get();
            f.text += '"';
          } else {
            in_quotes = false;
            after_quote = true;
          }
        } else {
          if (c == '\n') ++line_;
          f.text += static_cast<char>(c);
        }
        continue;
      }
      if (c == '\r' && in_.peek() == '\n') continue;
      if (c == ',' || c == '\n' || c == EOF) {
        fields->push_back(std::move(f));
        f = Field{};
        after_quote = false;
        if (c == ',') continue;
        if (c == '\n') ++line_;
        return true;
      }
      if (after_quote) throw InputError("text after a closing quote");
      if (c == '"') {
        if (!f.text.empty()) throw InputError("quote inside an unquoted field");
        in_quotes = true;
        f.quoted = true;
        continue;
      }
      f.text += static_cast<char>(c);
    }
  }

 private:
  std::istream& in_;
  int line_ = 1;
  int record_line_ = 1;
};

// A scalar JSON value; objects and arrays are not accepted as cells.
struct JsonScalar {
  enum Kind { kNull, kString, kNumber, kBool } kind = kNull;
  std::string text;  // the string, or the number as written
};

// A minimal parser of one JSON object of scalar values per line.
class JsonLine {
 public:
  explicit JsonLine(const std::string& s) : s_(s) {}

  std::vector<std::pair<std::string, JsonScalar>> ParseObject() {
    std::vector<std::pair<std::string, JsonScalar>> members;
    Expect('{');
    if (Peek() == '}') {
      ++i_;
    } else {
      for (;;) {
        if (Peek() != '"') Fail("a member name is expected");
        std::string key = String();
        Expect(':');
        members.emplace_back(std::move(key), Scalar());
        const char c = Peek();
        ++i_;
        if (c == '}') break;
        if (c != ',') Fail("',' or '}' is expected");
      }
    }
    if (Peek() != '\0') Fail("text after the object");
    return members;
  }

 private:
  [[noreturn]] void Fail(const std::string& what) {
    throw InputError("JSON, at character " + std::to_string(i_ + 1) + ": " + what);
  }

  char Peek() {
    while (i_ < s_.size() && std::strchr(" \t\r\n", s_[i_])) ++i_;
    return i_ < s_.size() ? s_[i_] : '\0';
  }

  void Expect(char c) {
    if (Peek() != c) Fail(std::string("'") + c + "' is expected");
    ++i_;
  }

  JsonScalar Scalar() {
    const char c = Peek();
    JsonScalar v;
    if (c == '"') {
      v.kind = JsonScalar::kString;
      v.text = String();
    } else if (s_.compare(i_, 4, "null") == 0) {
      i_ += 4;
    } else if (s_.compare(i_, 4, "true") == 0 || s_.compare(i_, 5, "false") == 0) {
      v.kind = JsonScalar::kBool;
      i_ += c == 't' ? 4 : 5;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.kind = JsonScalar::kNumber;
      const size_t start = i_;
      while (i_ < s_.size() && std::strchr("+-.eE0123456789", s_[i_])) ++i_;
      v.text = s_.substr(start, i_ - start);
      if (!ParseDouble(v.text)) Fail("bad number " + v.text);
    } else {
      Fail("a string, number or null is expected");
    }
    return v;
  }

  unsigned Hex4() {
    if (i_ + 4 > s_.size()) Fail("bad \\u escape");
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      v <<= 4;
      if (h >= '0' && h <= '9') v |= static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f') v |= static_cast<unsigned>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') v |= static_cast<unsigned>(h - 'A' + 10);
      else Fail("bad \\u escape");
    }
    return v;
  }

  std::string String() {
    ++i_;  // the opening quote
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) Fail("unterminated string");
      const char c = s_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) Fail("unterminated string");
      const char e = s_[i_++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (s_.compare(i_, 2, "\\u") != 0) Fail("unpaired surrogate");
            i_ += 2;
            const unsigned low = Hex4();
            if (low < 0xDC00 || low > 0xDFFF) Fail("unpaired surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            Fail("unpaired surrogate");
          }
          text::AppendUtf8(cp, &out);
          break;
        }
        default: Fail(std::string("bad escape \\") + e);
      }
    }
  }

  const std::string& s_;
  size_t i_ = 0;
};

Value ConvertJson(const Column& c, const JsonScalar& v) {
  switch (v.kind) {
    case JsonScalar::kNull:
      return std::monostate{};
    case JsonScalar::kBool:
      throw InputError("true/false is not accepted for column \"" + c.name + "\"");
    case JsonScalar::kString:
      if (c.type == ColumnType::kText || c.type == ColumnType::kMemo || c.type == ColumnType::kDateTime)
        return ConvertText(c, v.text);
      throw InputError("column \"" + c.name + "\" takes a number, not a string");
    case JsonScalar::kNumber:
      if (c.type == ColumnType::kText || c.type == ColumnType::kMemo)
        throw InputError("column \"" + c.name + "\" takes a string, not a number");
      return ConvertText(c, v.text);
  }
  throw InputError("bad value");
}

// Adds a row, naming the line in any refusal.
void AddRow(Writer& w, const std::vector<Value>& row) {
  try {
    w.AddRow(row);
  } catch (const std::invalid_argument& e) {
    throw InputError(e.what());
  }
}

std::string AtLine(const std::string& file, int line, const std::string& what) {
  return file + ":" + std::to_string(line) + ": " + what;
}

void WriteCsv(Writer& w, const TableJob& job) {
  std::ifstream in(job.file, std::ios::binary);
  if (!in) throw InputError("cannot open " + job.file);
  CsvReader csv(in);
  std::vector<CsvReader::Field> fields;
  std::vector<size_t> slots;
  try {
    if (!csv.Next(&fields)) throw InputError("no header row");
    for (const auto& f : fields) {
      const size_t slot = FindColumn(job.columns, f.text);
      for (size_t s : slots)
        if (s == slot) throw InputError("column \"" + f.text + "\" named twice");
      slots.push_back(slot);
    }
    while (csv.Next(&fields)) {
      if (fields.size() == 1 && fields[0].text.empty() && !fields[0].quoted) continue;  // blank line
      if (fields.size() != slots.size())
        throw InputError(std::to_string(fields.size()) + " cells, the header has " +
                         std::to_string(slots.size()));
      std::vector<Value> row(job.columns.size());
      for (size_t k = 0; k < fields.size(); ++k) {
        if (fields[k].text.empty() && !fields[k].quoted) continue;
        try {
          row[slots[k]] = ConvertText(job.columns[slots[k]], fields[k].text);
        } catch (const InputError& e) {
          throw InputError("column \"" + job.columns[slots[k]].name + "\": " + e.what());
        }
      }
      AddRow(w, row);
    }
  } catch (const InputError& e) {
    throw InputError(AtLine(job.file, csv.record_line(), e.what()));
  }
}

void WriteJsonl(Writer& w, const TableJob& job) {
  std::ifstream in(job.file, std::ios::binary);
  if (!in) throw InputError("cannot open " + job.file);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    try {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::vector<Value> row(job.columns.size());
      std::vector<bool> seen(job.columns.size(), false);
      for (const auto& [key, value] : JsonLine(line).ParseObject()) {
        const size_t slot = FindColumn(job.columns, key);
        if (seen[slot]) throw InputError("column \"" + key + "\" named twice");
        seen[slot] = true;
        row[slot] = ConvertJson(job.columns[slot], value);
      }
      AddRow(w, row);
    } catch (const InputError& e) {
      throw InputError(AtLine(job.file, n, e.what()));
    }
  }
}

void WriteTable(Writer& w, const TableJob& job) {
  try {
    w.BeginTable(job.name, job.columns);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
  switch (job.source) {
    case Source::kNone:
      break;
    case Source::kSample: {
      SampleOrgSource sample(job.seed, job.shape);
      for (long long i = 0; i < job.sample_rows; ++i) w.AddRow(sample.Next());
      break;
    }
    case Source::kCsv:
      WriteCsv(w, job);
      break;
    case Source::kJsonl:
      WriteJsonl(w, job);
      break;
  }
  w.EndTable();
}

std::vector<TableJob> ParseArgs(const std::vector<std::string>& args, std::string* out, Format* format) {
  if (args.empty()) throw UsageError("no output file named");
  *out = args[0];
  if (out->rfind("--", 0) == 0) throw UsageError("the first argument must be the output file");
  std::vector<TableJob> jobs(1);
  bool any_option = false;
  bool format_given = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++i];
    };
    auto set_source = [&](Source s) {
      if (jobs.back().source != Source::kNone)
        throw UsageError("table " + jobs.back().name + " has more than one source of rows");
      jobs.back().source = s;
    };
    if (a == "--format") {
      if (format_given) throw UsageError("--format given twice");
      const std::string& name = value();
      const std::optional<Format> f = ParseFormat(name);
      if (!f) throw UsageError("unknown --format \"" + name + "\" (jet3, jet4, ace12, ace14, ace15, ace16 or ace17)");
      *format = *f;
      format_given = true;
      continue;
    }
    any_option = true;
    if (a == "--table") {
      if (jobs.back().touched) jobs.emplace_back();
      jobs.back().touched = true;
      jobs.back().name = value();
      continue;
    }
    jobs.back().touched = true;
    if (a == "--columns") {
      if (jobs.back().custom_columns) throw UsageError("--columns given twice for one table");
      jobs.back().columns = ParseColumns(value());
      jobs.back().custom_columns = true;
    } else if (a == "--sample") {
      set_source(Source::kSample);
      const auto n = ParseInteger(value());
      if (!n || *n < 0) throw UsageError("--sample needs a row count of 0 or more");
      jobs.back().sample_rows = *n;
    } else if (a == "--seed") {
      const auto n = ParseInteger(value());
      if (!n || *n < 0 || *n > UINT32_MAX) throw UsageError("--seed needs a number from 0 to 4294967295");
      jobs.back().seed = static_cast<uint32_t>(*n);
      jobs.back().seed_given = true;
    } else if (a == "--shape") {
      const std::string shape = value();
      if (shape != "short" && shape != "long") throw UsageError("--shape needs short or long");
      jobs.back().shape = shape == "long" ? SampleShape::kLong : SampleShape::kShort;
      jobs.back().shape_given = true;
    } else if (a == "--csv") {
      set_source(Source::kCsv);
      jobs.back().file = value();
    } else if (a == "--jsonl") {
      set_source(Source::kJsonl);
      jobs.back().file = value();
    } else {
      throw UsageError("unknown argument \"" + a + "\"");
    }
  }
  if (!any_option) throw UsageError("nothing to write: give --sample, --csv, --jsonl or --table");
  for (const TableJob& j : jobs) {
    if (j.seed_given && j.source != Source::kSample) throw UsageError("--seed without --sample");
    if (j.shape_given && j.source != Source::kSample) throw UsageError("--shape without --sample");
    if (j.source == Source::kSample && j.custom_columns)
      throw UsageError("--sample writes the Org columns; it cannot be combined with --columns");
  }
  return jobs;
}

int Main(const std::vector<std::string>& args) {
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
  std::string out;
  Format format = Format::kJet4;
  std::vector<TableJob> jobs;
  try {
    jobs = ParseArgs(args, &out, &format);
  } catch (const UsageError& e) {
    std::cerr << "tavrin-mdb-write: " << e.what() << "\n" << kUsage;
    return 2;
  }
  // Written under a temporary name and renamed when complete, so that a
  // failure never leaves a partial database under the real name.
  const std::string temp = out + ".tmp" + std::to_string(::getpid());
  try {
    Writer w(temp, format);
    for (const TableJob& job : jobs) WriteTable(w, job);
    w.Finish();
    if (std::rename(temp.c_str(), out.c_str()) != 0)
      throw std::runtime_error("cannot rename " + temp + " to " + out + ": " + std::strerror(errno));
    return 0;
  } catch (const UsageError& e) {
    std::remove(temp.c_str());
    std::cerr << "tavrin-mdb-write: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::remove(temp.c_str());
    std::cerr << "tavrin-mdb-write: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace
}  // namespace tavrin::jet4

int main(int argc, char** argv) {
  return tavrin::jet4::Main(std::vector<std::string>(argv + 1, argv + argc));
}

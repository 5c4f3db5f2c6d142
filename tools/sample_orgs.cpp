// Sample organizations for table Org: a winter-weather morning in six
// counties, each organization with its status for the day.

#include <array>
#include <cctype>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>

#include "data/org_info.h"
#include "platform/ado/oledate.h"
#include "platform/text/ascii.h"
#include "platform/text/utf8.h"
#include "tools/jet4_writer.h"

namespace tavrin::jet4 {
namespace {

template <typename T, size_t N>
const T& Pick(std::mt19937& rng, const std::array<T, N>& items) {
  return items[rng() % N];
}

// True with the given percentage.
bool Chance(std::mt19937& rng, unsigned percent) { return rng() % 100 < percent; }

std::string Digits(std::mt19937& rng, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('0' + rng() % 10);
  return s;
}

std::string Phone(std::mt19937& rng, const std::string& area) {
  return "(" + area + ") 555-" + Digits(rng, 4);
}

std::string Slug(const std::string& s) {
  std::string out;
  for (char c : s)
    if (std::isalnum(static_cast<unsigned char>(c))) out += text::AsciiLower(c);
  return out;
}

struct County {
  const char* name;
  const char* area_code;
  std::array<const char*, 4> towns;
};

constexpr std::array<County, 6> kCounties = {{
    {"Ashford", "614", {"Millbrook", "Ashford", "Cedar Falls", "Kentwood"}},
    {"Bramley", "740", {"Bramley", "Oak Ridge", "Pine Hollow", "Westfield"}},
    {"Carrow", "937", {"Carrow", "Riverton", "Hillsdale", "Lakeview"}},
    {"Dunmore", "419", {"Dunmore", "Elm Grove", "Fairhaven", "Stonybrook"}},
    {"Easton", "330", {"Easton", "Maple Valley", "Northfield", "Brookside"}},
    {"Fenwick", "513", {"Fenwick", "Greenville", "Harbor Point", "Spring Mill"}},
}};

struct Category {
  const char* name;
  const char* code;
  std::array<const char*, 4> patterns;  // %s is the town or a family name
};

constexpr std::array<Category, 8> kCategories = {{
    {"Public Schools", "PS", {"%s Elementary School", "%s Middle School", "%s High School", "%s City Schools"}},
    {"Private Schools", "PR", {"St. Mary School of %s", "%s Christian Academy", "%s Montessori", "Holy Cross School (%s)"}},
    {"Daycares", "DC", {"Little Sprouts Daycare - %s", "%s Kids Korner", "ABC Learning Center of %s", "Sunshine Preschool (%s)"}},
    {"Churches", "CH", {"First Baptist Church of %s", "%s United Methodist", "St. Paul Lutheran, %s", "%s Community Church"}},
    {"Businesses", "BU", {"%s Hardware & Supply", "%s Family Dental", "%s Auto Body", "%s Insurance Agency"}},
    {"Government", "GV", {"%s Municipal Offices", "%s Public Library", "%s Recreation Department", "%s Township Trustees"}},
    {"Colleges", "CO", {"%s Community College", "%s School of Nursing", "%s Technical Institute", "%s University Branch"}},
    {"Senior Centers", "SC", {"%s Senior Center", "%s Meals on Wheels", "%s Adult Day Services", "%s Golden Age Club"}},
}};

constexpr std::array<const char*, 12> kFirstNames = {"Mary", "James", "Linda", "Robert", "Patricia", "Michael",
                                                      "Barbara", "David", "Susan", "Thomas", "Karen", "José"};
constexpr std::array<const char*, 12> kLastNames = {"Smith", "Johnson", "Miller", "Davis", "Wilson", "Anderson",
                                                     "Taylor", "Moore", "Jackson", "Martin", "Thompson", "O'Brien"};
constexpr std::array<const char*, 10> kStreets = {"Main St", "Church St", "Oak Ave", "Maple Dr", "High St",
                                                   "Park Rd", "Washington Blvd", "Mill Rd", "Elm St", "Route 33"};
constexpr std::array<const char*, 8> kStatuses = {"Open", "Closed", "Delayed 2 Hours", "Delayed 1 Hour",
                                                   "Early Dismissal", "Closed - Activities Cancelled",
                                                   "Open - No Evening Activities", "Delayed 90 Minutes"};
constexpr std::array<const char*, 8> kEventNotes = {
    "Buses on snow routes.",
    "No morning kindergarten; afternoon kindergarten as scheduled.",
    "All evening activities are cancelled, including the \"Winter Concert\".",
    "Staff report at 10:00 a.m.",
    "Parking lot being plowed; use the north entrance.",
    "Closing at noon, 12:00 p.m.",
    "Make-up day will be announced.\nCheck the web site for updates.",
    "Services moved to Sunday evening, 6 p.m."};
constexpr std::array<const char*, 6> kPermanentNotes = {
    "Call the main office for weather information.",
    "Follows the closing decisions of the local public school district.",
    "Decision is made by 5:30 a.m. and posted on the web site and the phone line.",
    "Owner prefers calls to the evening phone.",
    "Two campuses; the status applies to both unless stated otherwise in the event notes.",
    "Delays apply to morning classes only. Evening programs run as scheduled unless the event notes "
    "say otherwise. Contact the coordinator for the transportation plan, which changes every "
    "season; the old plan on file is no longer valid."};

std::string FillPattern(const char* pattern, const std::string& arg) {
  char buf[160];
  std::snprintf(buf, sizeof buf, pattern, arg.c_str());
  return buf;
}

// Words of the long shape's texts: English, now and then an accented Latin
// one (which Jet still stores compressed) and rarely a Greek or Cyrillic
// one (which makes it store the whole text as UCS-2).
constexpr std::array<const char*, 32> kWords = {
    "the", "building", "north", "entrance", "parking", "lot", "will", "be", "plowed", "before", "classes",
    "resume", "parents", "should", "check", "announcements", "transportation", "office", "district",
    "activities", "evening", "weather", "conditions", "permitting", "coordinator", "and", "schedule",
    "community", "information", "program", "at", "of"};
constexpr std::array<const char*, 6> kAccentedWords = {"café", "Müller", "Straße", "São", "Señora", "naïve"};
constexpr std::array<const char*, 4> kForeignWords = {"Łódź", "Ζωγράφου", "Київська", "Ольга"};

// Words joined by blanks, `chars` characters long at most (cut at a
// character, never inside one), with `lead` first.
std::string Words(std::mt19937& rng, std::string lead, size_t chars) {
  std::string out = std::move(lead);
  while (text::Utf8Length(out) < chars) {
    if (!out.empty()) out += ' ';
    const auto dice = rng() % 1000;
    out += dice < 2 ? Pick(rng, kForeignWords) : dice < 40 ? Pick(rng, kAccentedWords) : Pick(rng, kWords);
  }
  return std::string(text::Utf8Prefix(out, chars));
}

// The position of the Org column `name` in a row.
consteval size_t Col(std::string_view name) {
  for (size_t i = 0; i < kOrgColumns.size(); ++i)
    if (kOrgColumns[i].name == name) return i;
  throw "no such column";
}

}  // namespace

SampleOrgSource::SampleOrgSource(uint32_t seed, SampleShape shape) : rng_(seed), shape_(shape) {}

void SampleOrgSource::Lengthen(std::vector<Value>& r) {
  std::mt19937& rng = rng_;
  // Lengths in characters, between `low` and `high`.
  const auto length = [&rng](size_t low, size_t high) { return low + rng() % (high - low + 1); };
  const auto lengthen = [&](size_t column, size_t low, size_t high) {
    Value& v = r[column];
    const std::string lead = std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : std::string();
    v = Words(rng, lead, length(low, high));
  };
  lengthen(Col("Organization Name"), 40, 160);
  if (Chance(rng, 70)) lengthen(Col("Event Notes"), 120, 255);
  lengthen(Col("Contact Name"), 15, 60);
  lengthen(Col("Street Address 1"), 20, 100);
  if (Chance(rng, 40)) lengthen(Col("Street Address 2"), 60, 255);
  if (Chance(rng, 50)) lengthen(Col("Web Address"), 30, 120);
  if (Chance(rng, 50)) lengthen(Col("E-mail Address"), 30, 100);
  lengthen(Col("Town\\City"), 8, 40);
  if (Chance(rng, 10)) {
    // One row in ten carries 1 to 8 KiB of standing notes.
    std::string memo;
    const size_t size = length(1024, 8192);
    while (memo.size() < size) memo += Words(rng, "", length(60, 200)) + ".\n";
    r[Col("Permanent Notes")] = memo.substr(0, text::Utf8CutLength(memo, size));
  }
}

std::vector<Value> SampleOrgSource::Next() {
  std::mt19937& rng = rng_;
  static const double event_day = *OleDateOf(2024, 1, 16);
  const County& county = Pick(rng, kCounties);
  const Category& category = Pick(rng, kCategories);
  const std::string town = Pick(rng, county.towns);
  const std::string last = Pick(rng, kLastNames);
  const std::string name = FillPattern(Pick(rng, category.patterns), category.name[0] == 'B' ? last : town);
  const std::string status = Chance(rng, 30) ? "Open" : Pick(rng, kStatuses);

  std::vector<Value> r(kOrgColumns.size());
  r[Col("Record Number")] = int64_t{next_record_++};
  r[Col("Status")] = status;
  if (status != "Open" && Chance(rng, 60)) r[Col("Event Notes")] = std::string(Pick(rng, kEventNotes));
  r[Col("ID Code")] = std::string(category.code) + Digits(rng, 4);
  r[Col("Pin Code")] = Digits(rng, 4);
  r[Col("Organization Name")] = name;
  if (Chance(rng, 25)) r[Col("Permanent Notes")] = std::string(Pick(rng, kPermanentNotes));
  r[Col("Town\\City")] = town;
  r[Col("County")] = std::string(county.name);
  r[Col("Category")] = std::string(category.name);
  if (Chance(rng, 70)) r[Col("Web Address")] = "www." + Slug(name).substr(0, 24) + (category.code[0] == 'B' ? ".com" : ".org");
  r[Col("Contact Name")] = std::string(Pick(rng, kFirstNames)) + " " + last;
  r[Col("Street Address 1")] = std::to_string(100 + rng() % 9800) + " " + Pick(rng, kStreets);
  if (Chance(rng, 15)) r[Col("Street Address 2")] = "Suite " + std::to_string(100 + rng() % 300);
  r[Col("Zip Code")] = std::to_string(43000 + rng() % 900);
  r[Col("City")] = town;
  r[Col("State")] = std::string("OH");
  r[Col("Daytime Phone")] = Phone(rng, county.area_code);
  if (Chance(rng, 60)) r[Col("Evening Phone")] = Phone(rng, county.area_code);
  if (Chance(rng, 20)) r[Col("Other Phone")] = Phone(rng, county.area_code);
  if (Chance(rng, 35)) r[Col("Fax Number")] = Phone(rng, county.area_code);
  if (Chance(rng, 65)) r[Col("E-mail Address")] = Slug(last) + "@" + Slug(town) + "-" + Slug(category.code) + ".example.org";
  if (status != "Open") {
    // Reported between 5:00 and 7:59 on the event morning; valid through the next midnight.
    r[Col("Event Kill Date")] = DateValue{event_day + 1};
    r[Col("Event Update Time")] = DateValue{event_day + static_cast<double>(300 + rng() % 180) / 1440.0};
  } else if (Chance(rng, 50)) {
    r[Col("Event Update Time")] = DateValue{event_day - 1 + static_cast<double>(960 + rng() % 240) / 1440.0};
  }
  if (shape_ == SampleShape::kLong) Lengthen(r);
  return r;
}

std::vector<std::vector<Value>> SampleOrgRows(int count, uint32_t seed) {
  SampleOrgSource source(seed);
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < count; ++i) rows.push_back(source.Next());
  return rows;
}

void WriteSampleOrgFile(const std::string& path, int count, uint32_t seed) {
  Writer w(path);
  w.BeginTable("Org", OrgColumns());
  for (const auto& row : SampleOrgRows(count, seed)) w.AddRow(row);
  w.EndTable();
  w.Finish();
}

}  // namespace tavrin::jet4

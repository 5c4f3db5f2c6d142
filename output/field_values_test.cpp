#include "output/field_values.h"

#include <locale.h>

#include <climits>
#include <ctime>

#include <gtest/gtest.h>

namespace tavrin {
namespace {

FieldInfo Field(const std::string& name, int length = 10, bool sort = false, bool repeat = true) {
  FieldInfo field;
  field.strFieldName = name;
  field.nLength = length;
  field.bSort = sort;
  field.bRepeat = repeat;
  return field;
}

std::string Value(const std::string& name, const tagORG_INFO& org, int style = kMonthDayYear) {
  return GetFieldValue(Field(name), org, style);
}

tagORG_INFO WithStatus(const std::string& status) {
  tagORG_INFO org;
  org.strStatus = status;
  return org;
}

TEST(GetFieldValueTest, EveryNameGivesItsOwnField) {
  tagORG_INFO org;
  const std::pair<const char*, std::string tagORG_INFO::*> names[] = {
      {"status", &tagORG_INFO::strStatus},
      {"event notes", &tagORG_INFO::strEventNotes},
      {"id code", &tagORG_INFO::strIdCode},
      {"pin dode", &tagORG_INFO::strPinCode},
      {"pin code", &tagORG_INFO::strPinCode},
      {"organization name", &tagORG_INFO::strOrganizationName},
      {"permanent notes", &tagORG_INFO::strPermanentNotes},
      {"town\\city", &tagORG_INFO::strTownCity},
      {"county", &tagORG_INFO::strCounty},
      {"category", &tagORG_INFO::strCategory},
      {"web address", &tagORG_INFO::strWebAddress},
      {"contact name", &tagORG_INFO::strContactName},
      {"street address 1", &tagORG_INFO::strStreetAddress1},
      {"street address 2", &tagORG_INFO::strStreetAddress2},
      {"zip code", &tagORG_INFO::strZipCode},
      {"city", &tagORG_INFO::strCity},
      {"state", &tagORG_INFO::strState},
      {"daytime phone", &tagORG_INFO::strDaytimePhone},
      {"evening phone", &tagORG_INFO::strEveningPhone},
      {"other phone", &tagORG_INFO::strOtherPhone},
      {"fax number", &tagORG_INFO::strFaxNumber},
      {"e-mail address", &tagORG_INFO::strEmailAddress},
  };
  for (const auto& [name, member] : names) org.*member = std::string("value of ") + name;
  org.strPinCode = "value of pin";
  for (const auto& [name, member] : names) {
    EXPECT_EQ(Value(name, org), org.*member) << name;
  }
}

TEST(GetFieldValueTest, NamesMatchIgnoringCaseButNothingElse) {
  const tagORG_INFO org = WithStatus("  Closed  ");
  EXPECT_EQ(Value("Status", org), "  Closed  ");  // returned untrimmed
  EXPECT_EQ(Value("STATUS", org), "  Closed  ");
  EXPECT_EQ(Value("status ", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value(" status", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value("town/city", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value("street  address 1", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value("!blank!", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value("", org), "VALUE NOT FOUND");
  EXPECT_TRUE(IsFieldName("Pin Dode"));
  EXPECT_TRUE(IsFieldName("[E-Mail Address]"));
  EXPECT_FALSE(IsFieldName("status "));
}

TEST(GetFieldValueTest, LeadingBracketDropsFirstAndLastCharacter) {
  tagORG_INFO org = WithStatus("Open");
  org.strOrganizationName = "Springfield Elementary";
  EXPECT_EQ(Value("[Organization Name]", org), "Springfield Elementary");
  EXPECT_EQ(Value("[statusX", org), "Open");        // whatever the last character is
  EXPECT_EQ(Value("[status\xC3\xA9", org), "Open");  // a last character of two bytes
  EXPECT_EQ(Value("[status", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value("[]", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value("[", org), "VALUE NOT FOUND");
  EXPECT_EQ(Value("status]", org), "VALUE NOT FOUND");
}

TEST(GetFieldValueTest, DatesFollowTheStyle) {
  tagORG_INFO org;
  org.dtEventKillDate.value = 45356.58829861111;  // 2024-03-05 14:07:09
  org.dtEventUpdateTime.value = 45356.58829861111;
  EXPECT_EQ(Value("event kill date", org, 1), "2024/05/03");
  EXPECT_EQ(Value("event kill date", org, 2), "03/05/2024");
  EXPECT_EQ(Value("event kill date", org, 3), "2024-03-05 14:07:09");
  EXPECT_EQ(Value("Event Update Time", org, 1), "2024/05/03 14:07");
  EXPECT_EQ(Value("event update time", org, 2), "2024/05/03 14:07");
  EXPECT_EQ(Value("event update time", org, 3), "2024-03-05 14:07:09");
  // Any style but 1 and 3 formats as style 2.
  EXPECT_EQ(Value("event kill date", org, 0), "03/05/2024");
  EXPECT_EQ(Value("event kill date", org, 7), "03/05/2024");
}

TEST(GetFieldValueTest, DatesUseTheirOwnCalendarFields) {
  tagORG_INFO org;
  org.dtEventKillDate.value = -1.25;  // the fraction counts forward before 1899-12-30
  EXPECT_EQ(Value("event kill date", org, 3), "1899-12-29 06:00:00");
  org.dtEventUpdateTime.value = 45356.58819444444;  // 14:07:00 less a rounding error
  EXPECT_EQ(Value("event update time", org, 1), "2024/05/03 14:07");
  org.dtEventUpdateTime.value = 1e12;  // beyond year 9999
  EXPECT_EQ(Value("event update time", org, 3), "");
}

TEST(GetFieldValueTest, DatesMatchStrftimeAcrossTheCalendar) {
  // The formatter writes what strftime would: years of three digits stay
  // unpadded, every other field takes two digits.
  const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  const char* formats[] = {"%Y/%d/%m", "%m/%d/%Y", "%Y-%m-%d %H:%M:%S", "%Y/%d/%m %H:%M"};
  tagORG_INFO org;
  for (double ole = -657434.0; ole < 2958465.0; ole += 9973.4127) {
    org.dtEventKillDate.value = org.dtEventUpdateTime.value = ole;
    const std::tm fields = *OleDateToTm(ole);
    char expected[4][64];
    for (int f = 0; f < 4; ++f) strftime_l(expected[f], sizeof expected[f], formats[f], &fields, c_locale);
    EXPECT_EQ(Value("event kill date", org, kYearDayMonth), expected[0]) << ole;
    EXPECT_EQ(Value("event kill date", org, kMonthDayYear), expected[1]) << ole;
    EXPECT_EQ(Value("event kill date", org, kIsoDateTime), expected[2]) << ole;
    EXPECT_EQ(Value("event update time", org, kMonthDayYear), expected[3]) << ole;
  }
  freelocale(c_locale);
}

TEST(FieldReaderTest, ResolvedOnceItReadsEachRecordsOwnValue) {
  tagORG_INFO first = WithStatus("Open"), second = WithStatus("Closed");
  second.dtEventKillDate.value = 45356.5;
  const FieldReader status(Field("[STATUS]"), kMonthDayYear), date(Field("Event Kill Date"), kIsoDateTime),
      unknown(Field("Nothing"), kMonthDayYear);
  std::string scratch;
  EXPECT_EQ(status.Value(first, scratch), "Open");
  EXPECT_EQ(status.Value(second, scratch), "Closed");
  EXPECT_EQ(date.Value(first, scratch), "1899-12-30 00:00:00");
  EXPECT_EQ(date.Value(second, scratch), "2024-03-05 12:00:00");
  EXPECT_EQ(unknown.Value(second, scratch), "VALUE NOT FOUND");
}

TEST(GetFieldValueTest, NullAndInvalidDatesAreEmptyInEveryStyle) {
  tagORG_INFO org;
  org.dtEventKillDate = {45356.5, COleDateTime::null};
  org.dtEventUpdateTime = {45356.5, COleDateTime::invalid};
  for (int style : {1, 2, 3}) {
    EXPECT_EQ(Value("event kill date", org, style), "");
    EXPECT_EQ(Value("event update time", org, style), "");
  }
}

std::string Line(const FieldInfo& field, const tagORG_INFO& org,
                 const tagORG_INFO& previous = tagORG_INFO()) {
  return FormatPrintLine({field}, kMonthDayYear, org, previous);
}

TEST(FormatPrintLineTest, CellsArePaddedAndCutToOneLessThanTheLength) {
  tagORG_INFO org = WithStatus("Closed");
  org.strOrganizationName = "Springfield Elementary";
  EXPECT_EQ(Line(Field("organization name"), org), "Springfie");
  EXPECT_EQ(Line(Field("status"), org), "Closed   ");
  EXPECT_EQ(Line(Field("status"), WithStatus(" \tClosed\r\n")), "Closed   ");
  EXPECT_EQ(Line(Field("status", 1), org), "");
  EXPECT_EQ(Line(Field("status", 0), org), "");
  EXPECT_EQ(Line(Field("status", INT_MIN), org), "");
  EXPECT_EQ(Line(Field("status", 200), org), "Closed" + std::string(102, ' '));
  EXPECT_EQ(Line(Field("event kill date", 6), tagORG_INFO{}), "12/30");
  tagORG_INFO null_date;
  null_date.dtEventKillDate.status = COleDateTime::null;
  EXPECT_EQ(Line(Field("event kill date", 6), null_date), "     ");
  // Cells follow one another without separators.
  EXPECT_EQ(FormatPrintLine({Field("status", 4), Field("organization name", 7)}, 2, org, {}),
            "CloSpring");
}

TEST(FormatPrintLineTest, RepeatedSortValuesAreBlanked) {
  const tagORG_INFO rows[] = {WithStatus("Closed"), WithStatus("closed"), WithStatus("Open")};
  const auto lines = [&](const FieldInfo& field) {
    std::vector<std::string> out;
    tagORG_INFO previous;
    for (const tagORG_INFO& org : rows) {
      out.push_back(Line(field, org, previous));
      previous = org;
    }
    return out;
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(lines(Field("status", 8, true, false)), (Lines{"Closed ", "       ", "Open   "}));
  EXPECT_EQ(lines(Field("status", 8, true, true)), (Lines{"Closed ", "closed ", "Open   "}));
  EXPECT_EQ(lines(Field("status", 8, false, false)), (Lines{"Closed ", "closed ", "Open   "}));
  // A blanked cell is never wider than the pad.
  EXPECT_EQ(Line(Field("status", 200, true, false), rows[1], rows[0]), std::string(102, ' '));
  // The first record is compared with an empty one.
  EXPECT_EQ(Line(Field("status", 4, true, false), WithStatus("  ")), "   ");
}

TEST(FormatPrintLineTest, WidthsCountUtf8Characters) {
  const std::string ecole = "\xC3\x89" "cole";  // "École": five characters, six bytes
  EXPECT_EQ(Line(Field("status", 4), WithStatus(ecole)), "\xC3\x89" "co");
  EXPECT_EQ(Line(Field("status", 8), WithStatus(ecole)), ecole + "  ");
  EXPECT_EQ(Line(Field("status", 2), WithStatus("\xE2\x82\xAC" "5")), "\xE2\x82\xAC");
  // Letter case is ignored beyond ASCII too: "ÉCOLE" repeats "école".
  EXPECT_EQ(Line(Field("status", 6, true, false), WithStatus("\xC3\x89" "COLE"),
                 WithStatus("\xC3\xA9" "cole")),
            "     ");
  // Bytes that are not UTF-8 count one character each.
  EXPECT_EQ(Line(Field("status", 3), WithStatus("\xE9t\xE9")), "\xE9t");
}

}  // namespace
}  // namespace tavrin

#ifndef TAVRIN_PLATFORM_ADO_ACCESS_TABLE_VALUES_H_
#define TAVRIN_PLATFORM_ADO_ACCESS_TABLE_VALUES_H_

// The values of a table's rows, as libmdb splits a row into fields, decoded
// into the cell format of RowBuilder: numbers, dates on the linear day
// scale, text as UTF-8, and memo and OLE values read whole from their
// long-value rows, every length and pointer checked against the file. Part
// of the parsing of untrusted bytes that runs in the reader child
// (table_reader.h).

#include <string>

#include "platform/ado/access/file_check.h"
#include "platform/ado/access/stored_table.h"

// Last: it includes glib's headers inside extern "C", which must find the
// C++ headers they use included already.
#include <mdbtools.h>

namespace tavrin::ado::access {

// The kind of cell a column of libmdb's type `type` holds.
Tag DeclaredTag(int type);

// Decodes the values of one table's rows from libmdb's current page. Used
// by one thread; it reuses its buffers from value to value.
class ValueDecoder {
 public:
  // `mdb` reads the file whose whole image is `image` and which CheckFile
  // accepted as `facts`; all three must outlive the decoder. `table` names
  // the table in failures.
  ValueDecoder(MdbHandle* mdb, const unsigned char* image, const FileFacts& facts, std::string table);

  // Appends to `row` the cell of value `f` of column `col`, which lies on
  // libmdb's current page (its bounds checked against its row). Throws
  // ProviderFailure (Damaged) for a value too short for its type and for a
  // long value that is stored in an unknown form, points outside the file
  // or does not add up to its length.
  void Store(const MdbColumn& col, const MdbField& f, RowBuilder& row);
  // Checks the value as Store does, without keeping it; text is not
  // decoded. Throws as Store.
  void Check(const MdbColumn& col, const MdbField& f);

 private:
  void AppendText(const unsigned char* p, size_t n);
  void ReadLongValue(const MdbColumn& col, const MdbField& f);
  bool FindLongValueRow(uint32_t pg_row, const unsigned char** page, int* off, size_t* len) const;

  MdbHandle* mdb_;
  const unsigned char* image_;
  const FileFacts& facts_;
  std::string table_;
  RowBuilder scratch_;      // for values checked, not sent
  std::string text_;        // reused for every text value
  std::string long_value_;  // reused for every memo and OLE value
};

}  // namespace tavrin::ado::access

#endif  // TAVRIN_PLATFORM_ADO_ACCESS_TABLE_VALUES_H_

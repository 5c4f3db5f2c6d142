/* The floor of the report benchmark: the least a program can do to turn
 * table Org into the delimited file of the "Full" report. It walks the
 * data pages with libmdb, decodes Jet 4 text itself, and writes the same
 * bytes (23 quoted fields, double quotes turned into single ones, the two
 * dates in their default styles, CR LF line ends) through a 1 MiB buffer.
 * It checks nothing that the program checks; it only sets the pace.
 *
 *   build/bench/floor FILE.mdb > out.csv
 */

#include <math.h>
#include <mdbtools.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

static const char *const kFields[] = {
    "Status", "Event Notes", "ID Code", "Pin Code", "Organization Name", "Permanent Notes",
    "Town\\City", "County", "Category", "Web Address", "Contact Name", "Street Address 1",
    "Street Address 2", "Zip Code", "City", "State", "Daytime Phone", "Evening Phone",
    "Other Phone", "Fax Number", "E-mail Address", "Event Kill Date", "Event Update Time"};
enum { kFieldCount = sizeof kFields / sizeof kFields[0] };

static char out[1 << 20];
static size_t used;

static void Flush(void) {
  fwrite(out, 1, used, stdout);
  used = 0;
}

static void PutRaw(char c) {
  if (used + 2 > sizeof out) Flush();
  out[used++] = c;
}

/* A character of a value: a line feed stored as CR LF, a double quote as a
 * single quote, as the program stores them. */
static void Put(char c) {
  if (c == '\n') PutRaw('\r');
  PutRaw(c == '"' ? '\'' : c);
}

static void PutCode(unsigned u) {
  if (u < 0x80) {
    Put((char)u);
  } else if (u < 0x800) {
    Put((char)(0xC0 | u >> 6));
    Put((char)(0x80 | (u & 0x3F)));
  } else {
    Put((char)(0xE0 | u >> 12));
    Put((char)(0x80 | (u >> 6 & 0x3F)));
    Put((char)(0x80 | (u & 0x3F)));
  }
}

/* UCS-2, or the compressed form: FF FE, then one byte per character that
 * toggles to two bytes at each 00. */
static void PutJetText(const unsigned char *p, size_t n) {
  size_t i = 0;
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    int compressed = 1;
    for (i = 2; i < n;) {
      if (p[i] == 0) {
        compressed = !compressed;
        ++i;
      } else if (compressed) {
        PutCode(p[i++]);
      } else if (i + 1 < n) {
        PutCode((unsigned)(p[i] | p[i + 1] << 8));
        i += 2;
      } else {
        break;
      }
    }
    return;
  }
  for (; i + 1 < n; i += 2) PutCode((unsigned)(p[i] | p[i + 1] << 8));
}

static void PutMemo(MdbHandle *mdb, const unsigned char *p, int size) {
  if (size < MDB_MEMO_OVERHEAD) return;
  const unsigned header = (unsigned)(p[0] | p[1] << 8 | p[2] << 16) | (unsigned)p[3] << 24;
  const size_t length = header & 0x3FFFFFFF;
  if (header & 0x80000000u) {
    PutJetText(p + MDB_MEMO_OVERHEAD, length);
    return;
  }
  static unsigned char *value;
  static size_t capacity;
  if (length > capacity) value = realloc(value, capacity = length);
  size_t have = 0;
  unsigned pg_row = (unsigned)(p[4] | p[5] << 8 | p[6] << 16) | (unsigned)p[7] << 24;
  while (have < length) {
    void *buf;
    int off;
    size_t len;
    if (mdb_find_pg_row(mdb, (int)pg_row, &buf, &off, &len) != 0) return;
    const unsigned char *row = (const unsigned char *)buf + off;
    if (header & 0x40000000u) {  /* the whole value on one row */
      PutJetText(row, length);
      return;
    }
    memcpy(value + have, row + 4, len - 4);
    have += len - 4;
    pg_row = (unsigned)(row[0] | row[1] << 8 | row[2] << 16) | (unsigned)row[3] << 24;
    if (pg_row == 0) break;
  }
  PutJetText(value, have);
}

static void PutNumber(int value, int width) {
  char text[16];
  const int n = snprintf(text, sizeof text, "%0*d", width, value);
  for (int i = 0; i < n; ++i) Put(text[i]);
}

/* An OLE day count as MM/DD/YYYY, or (with time) YYYY/DD/MM HH:MM. */
static void PutDate(double ole, int with_time) {
  const double days = trunc(ole);
  long long seconds = llround(fabs(ole - days) * 86400.0);
  long long z = (long long)days + (seconds >= 86400) - 25569 + 719468;
  seconds %= 86400;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = (unsigned)(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const int d = (int)(doy - (153 * mp + 2) / 5 + 1), m = (int)(mp < 10 ? mp + 3 : mp - 9);
  const int y = (int)(yoe + era * 400 + (m <= 2));
  if (with_time) {
    PutNumber(y, 4), Put('/'), PutNumber(d, 2), Put('/'), PutNumber(m, 2), Put(' ');
    PutNumber((int)(seconds / 3600), 2), Put(':'), PutNumber((int)(seconds / 60 % 60), 2);
  } else {
    PutNumber(m, 2), Put('/'), PutNumber(d, 2), Put('/'), PutNumber(y, 4);
  }
}

int main(int argc, char **argv) {
  if (argc != 2) return fprintf(stderr, "usage: floor FILE.mdb\n"), 2;
  MdbHandle *mdb = mdb_open(argv[1], MDB_NOFLAGS);
  if (!mdb || !mdb_read_catalog(mdb, MDB_TABLE)) return fprintf(stderr, "cannot open\n"), 1;
  MdbTableDef *table = mdb_read_table_by_name(mdb, "Org", MDB_TABLE);
  if (!table || !mdb_read_columns(table)) return fprintf(stderr, "no table Org\n"), 1;
  int column_of[kFieldCount];
  for (int f = 0; f < kFieldCount; ++f) {
    column_of[f] = -1;
    for (unsigned c = 0; c < table->num_cols; ++c) {
      const MdbColumn *col = g_ptr_array_index(table->columns, c);
      if (strcasecmp(col->name, kFields[f]) == 0) column_of[f] = (int)c;
    }
    if (column_of[f] < 0) return fprintf(stderr, "no column %s\n", kFields[f]), 1;
  }
  MdbField *fields = calloc(table->num_cols, sizeof *fields);
  const MdbField **by_column = calloc(table->num_cols, sizeof *by_column);
  mdb_rewind_table(table);
  while (mdb_read_next_dpg(table)) {
    const int rows = mdb_get_int16(mdb->pg_buf, mdb->fmt->row_count_offset);
    for (int r = 0; r < rows; ++r) {
      int start;
      size_t size;
      if (mdb_find_row(mdb, r, &start, &size) != 0 || size == 0 || (start & 0xC000)) continue;
      start &= 0x1FFF;
      if (mdb_crack_row(table, start, size, fields) < 0) continue;
      for (unsigned c = 0; c < table->num_cols; ++c) by_column[fields[c].colnum] = &fields[c];
      for (int f = 0; f < kFieldCount; ++f) {
        const MdbField *field = by_column[column_of[f]];
        const MdbColumn *col = g_ptr_array_index(table->columns, column_of[f]);
        const unsigned char *p = mdb->pg_buf + field->start;
        if (f) PutRaw(',');
        PutRaw('"');
        if (!field->is_null) {
          if (col->col_type == MDB_TEXT) PutJetText(p, (size_t)field->siz);
          else if (col->col_type == MDB_MEMO) PutMemo(mdb, p, field->siz);
          else if (col->col_type == MDB_DATETIME) {
            double ole;
            memcpy(&ole, p, sizeof ole);
            PutDate(ole, f == kFieldCount - 1);
          }
        }
        PutRaw('"');
      }
      PutRaw('\r');
      PutRaw('\n');
    }
  }
  Flush();
  free(fields);
  free((void *)by_column);
  mdb_free_tabledef(table);
  mdb_close(mdb);
  return 0;
}

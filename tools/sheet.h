// Rows of figures, one per particle, printed as an aligned text table, CSV or JSON; and the
// batch of files a subcommand works through on all cores.
//
// API
//   Kind                        a column's kind: number (empty: none), text, list of texts or numbers
//   Column, Cell, Row, Sheet    named columns and one row of cells per particle
//   number_text(v)              the shortest text that reads back as the double v ("" for NaN)
//   Format, format_of(a)        --csv, --json or the text table (usage error for both)
//   print_sheet(sheet, format)  to standard output
//   batch_paths(a)              the positional files and the lines of --files LIST, in order
//   for_each_file(count, work)  work(k) for k in 0..count-1, spread over the machine's cores
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "common.h"
#include "sys/threads.h"

namespace tarvo::tools {

enum class Kind { kNumber, kText, kTexts, kNumbers };

struct Column {
    const char* name;
    Kind kind;
};

struct Cell {
    std::string text;                // number or text; empty: none
    std::vector<std::string> items;  // the items of a list
};

using Row = std::vector<Cell>;

struct Sheet {
    std::vector<Column> columns;
    std::vector<Row> rows;
};

std::string number_text(double v);

enum class Format { kText, kCsv, kJson };
Format format_of(const Arguments& a);
void print_sheet(const Sheet& sheet, Format format);

// The files named on the command line, then those of --files LIST (one path a line; empty lines
// skipped); a usage error when there are none.
std::vector<std::string> batch_paths(const Arguments& a);

// The files of a batch on as many threads as the machine has (at most one a file); work(k) must
// not throw and must touch only what is k's own.
template <class Work>
void for_each_file(std::size_t count, Work&& work) {
    const int most = static_cast<int>(std::min<std::size_t>(count, 1024));
    const int parts = count > 1 ? thread_count(kThreadedVoxels, 0, most) : 1;
    std::atomic<std::size_t> next{0};
    run_parts(parts, [&](int) {
        for (std::size_t k; (k = next.fetch_add(1)) < count;) work(k);
    });
}

}  // namespace tarvo::tools

// Shared pieces of the tarvo-tools subcommands: exit statuses, option parsing, loading and
// saving bodies with failures that name the file.
//
// API
//   kDone / kFailed / kUsage        exit statuses 0, 1, 2
//   UsageError, Failure             thrown by a subcommand; main turns them into a message and status
//   Arguments, parse_arguments      positional arguments and --name value options
//   number / integer / triple       option values checked against their ranges
//   take_cut(args)                  the lengths of --cut X Y Z, taken out of the arguments
//   lower_extension(path)           ".vtk", ".raw", ... in lower case
//   json_string(text, in_script)    a quoted JSON string; a byte that is no UTF-8 becomes \udcXX
//                                   (XX its value, as Python's os.fsdecode has it)
//   escaped(text)                   text for a terminal or CSV: \\, \t, \n, \r and \xHH stand for
//                                   backslashes, control characters and bytes that are no UTF-8
//   load_or_fail, measure_and_save, save_measured  the library's reading and writing of particles
//   remember_input(file)            an input that no output of this run may replace
//   OutputFile                      any output of a subcommand, through the library's safe output:
//                                   never one of the inputs, replaced whole or left as it was
//   write_or_fail(path, bytes)      a whole output at once
//   write_mesh_or_fail(path, mesh, format, ascii)   a mesh file, as the library writes it
//   check_output_name(path, ext)    a usage error when the name promises another format
//   kStandardOutput                 "-": the output goes to standard output
#pragma once

#include <array>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "files/io.h"
#include "files/output.h"
#include "tarvo/body.h"
#include "tarvo/mesh.h"
#include "volumes/files.h"

namespace tarvo::tools {

inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// The volumes room's failures are the subcommands': a volume's failure words its own message.
using UsageError = volumes::UsageError;
using Failure = volumes::Failure;

struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;  // options that take a value
    std::set<std::string> flags;                // options without one
    bool has(const std::string& name) const { return values.count(name) || flags.count(name); }
    const std::string* value(const std::string& name) const;
};

// Options are `--name value` or `--name=value` for the names in `valued`, `--name` for `flags`;
// anything else starting with "--" is a usage error, as is a repeated option. After "--" every
// argument is positional.
Arguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& valued,
                          const std::set<std::string>& flags);
void expect_positional(const Arguments& a, std::size_t count, const char* what);

double number(const std::string& option, const std::string& text, double lo, double hi);
long integer(const std::string& option, const std::string& text, long lo, long hi);
// "a,b,c" (or a single "a" for all three).
std::array<double, 3> triple(const std::string& option, const std::string& text, double lo, double hi);

// The three lengths after --cut X Y Z, taken out of the arguments (as texts: read later as tarvo
// reads them); nothing without --cut. A usage error when given twice or with fewer than three.
std::optional<std::array<std::string, 3>> take_cut(std::vector<std::string>& args);

using volumes::lower_extension;

// Quotes and escapes text for JSON; in_script also escapes < > & so that the string can stand
// inside an HTML <script> element.
std::string json_string(const std::string& text, bool in_script = false);

// The escaped form of a name (or a message naming one): unchanged unless it holds a backslash, a
// control character (C0, DEL, C1) or bytes that are no UTF-8; it maps back to the bytes.
std::string escaped(const std::string& text);

[[noreturn]] void fail_with(const tarvo::Status& status);
void allocate_or_fail(Body& body, std::int32_t dim);
// Loads a particle and remembers the file as an input; count_surplus reads on to the end of the
// file for the diagnostics of info; with `measured`, the particle is measured while it is read.
void load_or_fail(const std::string& path, Body& body, tarvo::LoadInfo* info = nullptr,
                  bool count_surplus = false, tarvo::Tally* measured = nullptr);
// Measures the body (so the header carries its characteristics) and writes it.
void measure_and_save(const std::string& path, TelesoRecord& rec);
// Writes a body its cut has just measured (cut_as_program, cut_through): no second pass.
void save_measured(const std::string& path, const TelesoRecord& rec);

void remember_input(const std::optional<tarvo::InputFile>& file);

class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    void write(const void* bytes, std::size_t n);
    void commit();
    tarvo::Output& output() { return out_; }

private:
    tarvo::Output out_;
};

void write_or_fail(const std::string& path, const void* bytes, std::size_t n);
// A mesh file (tarvo/mesh.h) through the same guards.
void write_mesh_or_fail(const std::string& path, const tarvo::Mesh& mesh, tarvo::MeshFormat format, bool ascii);

inline const std::string kStandardOutput = "-";
// `what` names the format for the message, e.g. "a PNG picture".
void check_output_name(const std::string& path, const std::string& extension, const std::string& what);

}  // namespace tarvo::tools

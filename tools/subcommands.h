// The subcommands of tarvo-tools. Each takes the arguments after its name and returns the exit
// status; usage problems are thrown as UsageError, failures as Failure (common.h).
#pragma once

#include <string>
#include <vector>

namespace tarvo::tools {

using Args = std::vector<std::string>;

struct Subcommand {
    const char* name;
    const char* summary;
    const char* usage;  // the --help text
    int (*run)(const Args& args);
};

extern const Subcommand kMake;
extern const Subcommand kInfo;
extern const Subcommand kRender;
extern const Subcommand kExport;
extern const Subcommand kMesh;
extern const Subcommand kImport;
extern const Subcommand kSplit;
extern const Subcommand kMerge;
extern const Subcommand kTable;
extern const Subcommand kMeasure;
extern const Subcommand kCut;
extern const Subcommand kSection;
extern const Subcommand kView;

}  // namespace tarvo::tools

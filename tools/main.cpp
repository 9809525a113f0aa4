// tarvo-tools: make, inspect, tabulate, measure, cut, section, picture, export, mesh, import and view
// particles.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common.h"
#include "subcommands.h"
#include "sys/cpu.h"

namespace {

const tarvo::tools::Subcommand* const kSubcommands[] = {
    &tarvo::tools::kMake,    &tarvo::tools::kInfo,   &tarvo::tools::kTable,  &tarvo::tools::kMeasure,
    &tarvo::tools::kCut,     &tarvo::tools::kSection, &tarvo::tools::kRender, &tarvo::tools::kExport,
    &tarvo::tools::kMesh,    &tarvo::tools::kImport, &tarvo::tools::kSplit,  &tarvo::tools::kMerge,
    &tarvo::tools::kView};

const tarvo::tools::Subcommand* find_subcommand(const std::string& name) {
    for (const tarvo::tools::Subcommand* s : kSubcommands)
        if (name == s->name) return s;
    return nullptr;
}

void print_overview(std::FILE* to) {
    std::fprintf(to, "Usage: tarvo-tools SUBCOMMAND ARGUMENTS... [OPTIONS]\n\n"
                     "Companion of tarvo for shape form files (*.3d).\n\nSubcommands:\n");
    for (const tarvo::tools::Subcommand* s : kSubcommands) std::fprintf(to, "  %-8s %s\n", s->name, s->summary);
    std::fprintf(to, "\n`tarvo-tools help SUBCOMMAND` (or `tarvo-tools SUBCOMMAND --help`) describes one;\n"
                     "`tarvo-tools --version` prints the version. Exit status: 0 done, 1 failure,\n"
                     "2 wrong usage.\n");
}

bool asks_for_help(const tarvo::tools::Args& args) {
    for (const std::string& a : args) {
        if (a == "--") return false;  // what follows are names
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

int run(const tarvo::tools::Subcommand& sub, const tarvo::tools::Args& args) {
    if (asks_for_help(args)) {
        std::fputs(sub.usage, stdout);
        return tarvo::tools::kDone;
    }
    try {
        return sub.run(args);
    } catch (const tarvo::tools::UsageError& e) {
        std::fprintf(stderr, "tarvo-tools %s: %s\nRun 'tarvo-tools %s --help' for its usage.\n", sub.name,
                     tarvo::tools::escaped(e.what()).c_str(), sub.name);
        return tarvo::tools::kUsage;
    } catch (const tarvo::tools::Failure& e) {
        std::fprintf(stderr, "tarvo-tools %s: %s\n", sub.name, tarvo::tools::escaped(e.what()).c_str());
        return tarvo::tools::kFailed;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarvo-tools %s: out of memory\n", sub.name);
        return tarvo::tools::kFailed;
    }
}

// Standard output is written whole or the run fails: flushed, checked and closed, so that a report
// cut short by a full disk is never taken for a whole one.
int with_output_checked(int status) {
    errno = 0;
    bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    int err = errno;
    if (std::fclose(stdout) != 0 && !failed) {
        failed = true;
        err = errno;
    }
    if (!failed) return status;
    std::fprintf(stderr, "tarvo-tools: writing standard output failed: %s\n", std::strerror(err ? err : EIO));
    return status == tarvo::tools::kDone ? tarvo::tools::kFailed : status;
}

int run_main(int argc, char** argv) {
    if (const std::string refused = tarvo::kernel_refusal(); !refused.empty()) {
        std::fprintf(stderr, "tarvo-tools: %s\n", refused.c_str());
        return tarvo::tools::kUsage;
    }
    if (argc < 2) {
        print_overview(stderr);
        return tarvo::tools::kUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        if (argc == 2) {
            print_overview(stdout);
            return tarvo::tools::kDone;
        }
        if (const tarvo::tools::Subcommand* s = find_subcommand(argv[2]); s && argc == 3) {
            std::fputs(s->usage, stdout);
            return tarvo::tools::kDone;
        }
        std::fprintf(stderr, "tarvo-tools help: unknown subcommand '%s'\n\n", tarvo::tools::escaped(argv[2]).c_str());
        print_overview(stderr);
        return tarvo::tools::kUsage;
    }
    if (name == "--version" || name == "version") {
        std::printf("tarvo-tools %s\n", TARVO_VERSION);
        std::printf("codec kernel: %s (this processor and build: %s)\n", tarvo::kernel_name(tarvo::chosen_kernel()),
                    tarvo::available_kernel_names().c_str());
        return tarvo::tools::kDone;
    }
    if (const tarvo::tools::Subcommand* s = find_subcommand(name)) return run(*s, tarvo::tools::Args(argv + 2, argv + argc));
    std::fprintf(stderr, "tarvo-tools: unknown subcommand '%s'\n\n", tarvo::tools::escaped(name).c_str());
    print_overview(stderr);
    return tarvo::tools::kUsage;
}

}  // namespace

int main(int argc, char** argv) { return with_output_checked(run_main(argc, argv)); }

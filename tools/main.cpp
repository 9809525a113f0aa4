// tarvo-tools: make, inspect, picture, export, mesh, import and view particles.
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
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
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
                     e.what(), sub.name);
        return tarvo::tools::kUsage;
    } catch (const tarvo::tools::Failure& e) {
        std::fprintf(stderr, "tarvo-tools %s: %s\n", sub.name, e.what());
        return tarvo::tools::kFailed;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarvo-tools %s: out of memory\n", sub.name);
        return tarvo::tools::kFailed;
    }
}

}  // namespace

int main(int argc, char** argv) {
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
        std::fprintf(stderr, "tarvo-tools help: unknown subcommand '%s'\n\n", argv[2]);
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
    std::fprintf(stderr, "tarvo-tools: unknown subcommand '%s'\n\n", name.c_str());
    print_overview(stderr);
    return tarvo::tools::kUsage;
}

// tarvo-tools: make, inspect, picture, export and import particles.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common.h"
#include "subcommands.h"

namespace {

const tools::Subcommand* const kSubcommands[] = {&tools::kMake, &tools::kInfo, &tools::kRender,
                                                 &tools::kExport, &tools::kImport};

void print_overview(std::FILE* to) {
    std::fprintf(to, "Usage: tarvo-tools SUBCOMMAND ARGUMENTS... [OPTIONS]\n\n"
                     "Companion of tarvo for shape form files (*.3d).\n\nSubcommands:\n");
    for (const tools::Subcommand* s : kSubcommands) std::fprintf(to, "  %-8s %s\n", s->name, s->summary);
    std::fprintf(to, "\n`tarvo-tools SUBCOMMAND --help` describes one. Exit status: 0 done, 1 failure,\n"
                     "2 wrong usage.\n");
}

bool asks_for_help(const tools::Args& args) {
    for (const std::string& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

int run(const tools::Subcommand& sub, const tools::Args& args) {
    if (asks_for_help(args)) {
        std::fputs(sub.usage, stdout);
        return tools::kDone;
    }
    try {
        return sub.run(args);
    } catch (const tools::UsageError& e) {
        std::fprintf(stderr, "tarvo-tools %s: %s\nRun 'tarvo-tools %s --help' for its usage.\n", sub.name,
                     e.what(), sub.name);
        return tools::kUsage;
    } catch (const tools::Failure& e) {
        std::fprintf(stderr, "tarvo-tools %s: %s\n", sub.name, e.what());
        return tools::kFailed;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "tarvo-tools %s: out of memory\n", sub.name);
        return tools::kFailed;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        print_overview(stderr);
        return tools::kUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        print_overview(stdout);
        return tools::kDone;
    }
    if (name == "--version" || name == "version") {
        std::printf("tarvo-tools %s\n", TARVO_VERSION);
        return tools::kDone;
    }
    const tools::Args args(argv + 2, argv + argc);
    for (const tools::Subcommand* s : kSubcommands)
        if (name == s->name) return run(*s, args);
    std::fprintf(stderr, "tarvo-tools: unknown subcommand '%s'\n\n", name.c_str());
    print_overview(stderr);
    return tools::kUsage;
}

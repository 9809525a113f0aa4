// The guards that keep a user's data, one group for each way data was once lost or a failure
// reported as success: outputs that name a descriptor, the output check, the tools' outputs,
// memory running out, inputs that can be read only once, NRRD headers, the temporary file's
// mode, and the smaller ones. Both programs are run as separate processes through the shell.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace fs = std::filesystem;
using namespace test_support;

namespace {

#ifdef TARVO_SANITIZED
constexpr bool kAddressLimitWorks = false;  // the sanitizer runtime reserves terabytes at start
#else
constexpr bool kAddressLimitWorks = true;
#endif

const std::string kTarvo = shell_quote(TARVO_EXE);
const std::string kTools = shell_quote(TOOLS_EXE);

RunResult shell(const std::string& script, const std::string& workdir) {
    return run_program("/bin/sh", {"-c", script}, workdir);
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

class GuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 rng(5);
        Body b = body_of_edge(20);
        fill_random(b.rec, rng, 0.4);
        write_bytes(dir.file("in.3d"), written_file(b.rec));
        const RunResult r = run_tarvo({"in.3d", "ref.3d", "3", "4", "99999"}, dir.path().string());
        ASSERT_EQ(r.status, 0) << r.output;
        reference = read_bytes(dir.file("ref.3d"));
        fs::remove(dir.file("ref.3d"));
    }

    ScratchDir dir;
    Bytes reference;  // tarvo's output for in.3d and the cut 3 4 99999
};

const Bytes kImportant = {'I', 'M', 'P', 'O', 'R', 'T', 'A', 'N', 'T', '\n'};

// A path that names one of the process's descriptors is written through it: appended to a log
// that stdout is appended to, into a pipe, never renamed over the file behind it.
TEST_F(GuardTest, DescriptorPathsAreWrittenThroughTheDescriptor) {
#ifdef TARVO_PORTABLE
    GTEST_SKIP() << "the portable build knows no descriptor paths";
#endif
    write_bytes(dir.file("app.log"), kImportant);
    RunResult r = shell(kTarvo + " in.3d /dev/stdout 3 4 99999 >> app.log", dir.path().string());
    EXPECT_EQ(r.status, 0) << r.output;
    Bytes log = read_bytes(dir.file("app.log"));
    EXPECT_TRUE(Bytes(log.begin(), log.begin() + 10) == kImportant);
    EXPECT_TRUE(contains(log, reference)) << "the particle is not in the log";

    write_bytes(dir.file("fd.log"), kImportant);
    r = shell(kTarvo + " in.3d /proc/self/fd/3 3 4 99999 3>> fd.log", dir.path().string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(read_bytes(dir.file("fd.log")) == concat(kImportant, reference));

    write_bytes(dir.file("tools.log"), kImportant);
    r = shell(kTools + " make sphere 16 /dev/stdout >> tools.log && " + kTools + " make sphere 16 s16.3d",
              dir.path().string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(read_bytes(dir.file("tools.log")) == concat(kImportant, read_bytes(dir.file("s16.3d"))));

    r = shell(kTools + " make sphere 64 /dev/stdout | wc -c && " + kTools + " make sphere 64 s64.3d",
              dir.path().string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(std::stoul(r.output), fs::file_size(dir.file("s64.3d"))) << r.output;
}

// The output checks create, truncate and remove nothing: a run refused after them leaves the
// directory exactly as it was, down to its modification time.
TEST_F(GuardTest, OutputCheckTouchesNothing) {
    write_bytes(dir.file("short.3d"), {1, 2, 3});
    write_bytes(dir.file("old.3d"), kImportant);
    for (const std::string out : {"new.3d", "old.3d"})
        for (const std::string in : {"short.3d", "missing.3d"}) {
            SCOPED_TRACE(in + " -> " + out);
            struct stat before, after;
            ASSERT_EQ(stat(dir.path().c_str(), &before), 0);
            const std::set<std::string> names = names_in(dir.path());
            const RunResult r = run_tarvo({in, out, "1", "1", "1"}, dir.path().string());
            EXPECT_EQ(r.status, 1) << r.output;
            ASSERT_EQ(stat(dir.path().c_str(), &after), 0);
            EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
            EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec) << "the directory was changed";
            EXPECT_EQ(names_in(dir.path()), names);
            EXPECT_TRUE(read_bytes(dir.file("old.3d")) == kImportant);
        }
}

// Every writer of tarvo-tools refuses to replace one of its inputs, by whatever name, and a file
// that its owner made read-only.
TEST_F(GuardTest, ToolsNeverReplaceTheirInputs) {
#ifdef TARVO_PORTABLE
    GTEST_SKIP() << "the portable build knows no file identities or descriptor paths";
#endif
    const Bytes in = read_bytes(dir.file("in.3d"));
    fs::create_directory(dir.path() / "sub");
    fs::create_hard_link(dir.file("in.3d"), dir.file("hard.png"));
    fs::create_hard_link(dir.file("in.3d"), dir.file("hard.raw"));
    fs::create_symlink("in.3d", dir.file("link.png"));
    write_bytes(dir.file("v.raw"), Bytes(27, 1));
    fs::create_hard_link(dir.file("v.raw"), dir.file("v.3d"));
    const std::vector<std::string> commands = {
        kTools + " render in.3d hard.png",         kTools + " render in.3d ./link.png",
        kTools + " render link.png sub/../hard.png", kTools + " render in.3d /dev/fd/3 3<>in.3d",
        kTools + " export in.3d hard.raw",         kTools + " import v.raw v.3d",
    };
    for (const std::string& c : commands) {
        SCOPED_TRACE(c);
        const RunResult r = shell(c, dir.path().string());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("are the same file; refusing to overwrite the input"), std::string::npos) << r.output;
        EXPECT_TRUE(read_bytes(dir.file("in.3d")) == in);
        EXPECT_TRUE(read_bytes(dir.file("v.raw")) == Bytes(27, 1));
        EXPECT_EQ(temporary_files_in(dir.path()), 0u);
    }
    const Unprivileged nobody = unprivileged();
    if (!nobody.available) GTEST_SKIP() << nobody.why_not;
    fs::permissions(dir.path(), fs::perms(0777), fs::perm_options::replace);
    write_bytes(dir.file("locked.3d"), kImportant);
    fs::permissions(dir.file("locked.3d"), fs::perms(0444), fs::perm_options::replace);
    const RunResult r = shell(nobody.prefix + " " + kTools + " make sphere 8 locked.3d", dir.path().string());
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Can't write to 'locked.3d' file"), std::string::npos) << r.output;
    EXPECT_TRUE(read_bytes(dir.file("locked.3d")) == kImportant);
}

// Memory that runs out after the bitmap is allocated (threads, buffers) ends the run with a message
// and status 1, never an abort; no temporary file stays and the old output is kept.
TEST_F(GuardTest, MemoryRunningOutLateIsAFailureNotAnAbort) {
    if (!kAddressLimitWorks) GTEST_SKIP() << "an address-space limit stops the sanitizer runtime";
    RunResult r = shell(kTools + " make sphere 1290 big.3d && " + kTarvo + " big.3d big-ref.3d 300 400 99999",
                        dir.path().string());
    ASSERT_EQ(r.status, 0) << r.output;
    const Bytes big_reference = read_bytes(dir.file("big-ref.3d"));
    fs::remove(dir.file("big-ref.3d"));
    // The bitmap takes 262,047 kB; below about 264,000 kB it cannot be allocated at all.
    for (int limit = 264000; limit <= 296000; limit += 4000) {
        for (const std::string& command : {kTarvo + " big.3d out.3d 300 400 99999", kTools + " make sphere 1290 out.3d"}) {
            SCOPED_TRACE(std::to_string(limit) + " kB: " + command);
            write_bytes(dir.file("out.3d"), kImportant);
            r = shell("ulimit -v " + std::to_string(limit) + " && " + command, dir.path().string());
            EXPECT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << ": " << r.output;
            if (r.status == 1) {
                EXPECT_TRUE(r.output.find("Not enough memory") != std::string::npos ||
                            r.output.find("Malo pamate") != std::string::npos)
                    << r.output;
                EXPECT_TRUE(read_bytes(dir.file("out.3d")) == kImportant);
            } else if (command.find("make") == std::string::npos) {
                EXPECT_TRUE(read_bytes(dir.file("out.3d")) == big_reference);
            }
            EXPECT_EQ(temporary_files_in(dir.path()), 0u);
        }
    }
}

// info reads its input once, from front to back: a named pipe and a pipe on standard input
// give the report of the file.
TEST_F(GuardTest, InfoReadsAPipeOnce) {
    const RunResult file = shell(kTools + " info --json in.3d", dir.path().string());
    ASSERT_EQ(file.status, 0) << file.output;
    const auto report_of = [](std::string out, const std::string& name) {
        const std::size_t at = out.find(name);
        return at == std::string::npos ? out : out.erase(at, name.size());
    };
    ASSERT_EQ(mkfifo(dir.file("pipe.3d").c_str(), 0600), 0);
    const RunResult fifo = shell("cat in.3d > pipe.3d & timeout 20 " + kTools + " info --json pipe.3d", dir.path().string());
    EXPECT_EQ(fifo.status, 0) << fifo.output;
    EXPECT_EQ(report_of(fifo.output, "pipe.3d"), report_of(file.output, "in.3d"));
    const RunResult in = shell("cat in.3d | timeout 20 " + kTools + " info --json /dev/stdin", dir.path().string());
    EXPECT_EQ(in.status, 0) << in.output;
    EXPECT_EQ(report_of(in.output, "/dev/stdin"), report_of(file.output, "in.3d"));
}

// An NRRD header is recognised by its first bytes and read in bounded pieces: a huge file of
// zeros, an endless device and a header without an end are refused at once, in little memory.
TEST_F(GuardTest, NrrdHeadersAreReadInBoundedPieces) {
    {
        std::ofstream zeros(dir.file("x.nrrd"), std::ios::binary);
    }
    fs::resize_file(dir.file("x.nrrd"), std::uint64_t{1} << 30);  // sparse: 1 GB of zeros
    fs::create_symlink("/dev/zero", dir.file("z.nhdr"));
    {
        std::ofstream endless(dir.file("e.nrrd"), std::ios::binary);
        endless << "NRRD0004\n" << std::string(200000, 'a');
    }
    const std::string limit = kAddressLimitWorks ? "ulimit -v 65536 && " : "";
    const std::pair<std::string, std::string> cases[] = {
        {"x.nrrd", "is not an NRRD file"},
        {"z.nhdr", "is not an NRRD file"},
        {"e.nrrd", "has no end of its NRRD header within 65536 bytes"},
    };
    for (const auto& [name, message] : cases) {
        SCOPED_TRACE(name);
        const RunResult r = shell(limit + "timeout 20 " + kTools + " import " + name + " out.3d", dir.path().string());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
    }
    EXPECT_FALSE(fs::exists(dir.file("out.3d")));
}

// A new output gets 0666 less the umask; the temporary file before it is private (see also the
// interrupted runs in fault_test).
TEST_F(GuardTest, NewOutputsGetTheUmasksMode) {
#ifdef TARVO_PORTABLE
    GTEST_SKIP() << "the portable build leaves modes to the standard library";
#endif
    for (const char* mask : {"022", "077", "002"}) {
        SCOPED_TRACE(mask);
        fs::remove(dir.file("new.3d"));
        const RunResult r = shell(std::string("umask ") + mask + " && " + kTarvo + " in.3d new.3d 3 4 99999 >/dev/null",
                                  dir.path().string());
        ASSERT_EQ(r.status, 0) << r.output;
        const auto expected = static_cast<fs::perms>(0666 & ~std::stoi(mask, nullptr, 8));
        EXPECT_EQ(fs::status(dir.file("new.3d")).permissions(), expected);
    }
}

// Smaller guards: the reason of a failed write is the writing thread's; JSON stays valid for any
// file name; an NRRD field given twice is refused, whatever its spelling.
TEST_F(GuardTest, FailuresSayWhyAndOutputsStayValid) {
    RunResult r = shell(kTools + " make sphere 300 /dev/full", dir.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Writing '/dev/full' failed: No space left on device"), std::string::npos) << r.output;

    const std::string odd = std::string("odd\xff\xc3(.3d");
    fs::copy_file(dir.file("in.3d"), dir.file(odd));
    r = shell(kTools + " info --json " + shell_quote(odd), dir.path().string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("\"file\": \"odd\\ufffd\\ufffd(.3d\""), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find('\xff'), std::string::npos);

    const std::string fields = "type: uint8\ndimension: 3\nencoding: raw\n";
    const std::pair<std::string, std::string> twice[] = {
        {"sizes: 3 3 3\nsizes: 2 2 2\n", "gives the NRRD field 'sizes' twice"},
        {"sizes: 2 2 2\nbyte skip: 1\nbyteskip: 1\n", "gives the NRRD field 'byteskip' twice"},
    };
    for (const auto& [extra, message] : twice) {
        {
            std::ofstream f(dir.file("t.nrrd"), std::ios::binary);
            f << "NRRD0004\n" << fields << extra << "\n" << std::string(27, '\x01');
        }
        r = shell(kTools + " import t.nrrd t.3d", dir.path().string());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
    }
}

}  // namespace

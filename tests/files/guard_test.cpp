// The guards that keep a user's data, one group for each way data was once lost or a failure
// reported as success: outputs that name a descriptor, the output check, the tools' outputs,
// memory running out, inputs that can be read only once, NRRD headers, the temporary file's
// mode, and the smaller ones. Both programs are run as separate processes through the shell.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

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
    EXPECT_NE(r.output.find("\"file\": \"odd\\udcff\\udcc3(.3d\""), std::string::npos) << r.output;
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

// In a sticky, world-writable directory (/tmp) a symbolic link is followed only when its owner
// is the user running the program or the directory's owner, as the kernel's protected_symlinks
// rule has it: a link another user planted there never makes an output replace a file elsewhere,
// or create one. Root is bound by the rule too. Both programs refuse such a link with a message.
TEST_F(GuardTest, LinksOtherUsersPlantInSharedDirectoriesAreNotFollowed) {
#ifdef TARVO_PORTABLE
    GTEST_SKIP() << "the portable build knows no owners of links";
#endif
    if (geteuid() != 0) GTEST_SKIP() << "planting another user's link needs root";
    constexpr uid_t kOther = 12345;
    auto shared_dir = [&](const std::string& name, mode_t mode, uid_t owner) {
        const fs::path d = dir.path() / name;
        fs::create_directory(d);
        EXPECT_EQ(chown(d.c_str(), owner, owner), 0);
        EXPECT_EQ(chmod(d.c_str(), mode), 0);
        return d;
    };
    auto plant = [](const fs::path& link, const fs::path& target, uid_t owner) {
        fs::create_symlink(target, link);
        EXPECT_EQ(lchown(link.c_str(), owner, owner), 0);
    };
    const fs::path tmp = shared_dir("tmp", 01777, 0);
    write_bytes(dir.file("important.txt"), kImportant);
    plant(tmp / "out.3d", dir.path() / "important.txt", kOther);
    plant(tmp / "new.3d", dir.path() / "created.3d", kOther);  // dangling
    for (const std::string name : {"out.3d", "new.3d"}) {
        SCOPED_TRACE(name);
        const RunResult r = run_tarvo({"in.3d", "tmp/" + name, "3", "4", "99999"}, dir.path().string());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_EQ(r.output.rfind("Initialisation...\nCan't write to 'tmp/" + name + "' file\n", 0), 0u) << r.output;
        EXPECT_NE(r.output.find("symbolic link"), std::string::npos) << r.output;
    }
    for (const std::string command : {"make sphere 8 tmp/t.3d", "render in.3d tmp/t.png", "export in.3d tmp/t.vtk",
                                      "export in.3d tmp/t.raw", "view in.3d tmp/t.html", "import in.raw tmp/t.3d"}) {
        SCOPED_TRACE(command);
        write_bytes(dir.file("in.raw"), Bytes(8, 1));
        const std::string link = command.substr(command.rfind(' ') + 1);
        fs::remove(dir.path() / link);
        plant(dir.path() / link, dir.path() / "important.txt", kOther);
        const RunResult r = shell(kTools + " " + command, dir.path().string());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("symbolic link"), std::string::npos) << r.output;
    }
    EXPECT_TRUE(read_bytes(dir.file("important.txt")) == kImportant);
    EXPECT_FALSE(fs::exists(dir.file("created.3d")));
    EXPECT_EQ(temporary_files_in(dir.path()), 0u);
    EXPECT_EQ(temporary_files_in(tmp), 0u);

    // The rule's exceptions: the caller's own link there, a link of the directory's owner, a
    // directory that is not sticky.
    const fs::path theirs = shared_dir("theirs", 01777, kOther), open = shared_dir("open", 0777, 0);
    const std::pair<fs::path, uid_t> followed[] = {
        {tmp / "mine.3d", geteuid()}, {theirs / "owners.3d", kOther}, {open / "other.3d", kOther}};
    for (const auto& [link, owner] : followed) {
        SCOPED_TRACE(link.string());
        const fs::path target = dir.path() / (link.filename().string() + ".target");
        plant(link, target, owner);
        const RunResult r = run_tarvo({"in.3d", link.string(), "3", "4", "99999"}, dir.path().string());
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_TRUE(read_bytes(target.string()) == reference);
    }
}

// A report that cannot be written is a failure, not a success with a short file: every output of
// tarvo-tools, standard output included, is flushed, checked and closed.
TEST_F(GuardTest, ToolsFailWhenStandardOutputCannotBeWritten) {
    for (const std::string args : {"table --csv in.3d", "table in.3d", "table --json in.3d", "info in.3d",
                                   "info --json in.3d", "--version", "info --help", "help"}) {
        SCOPED_TRACE(args);
        const RunResult r = shell(kTools + " " + args + " >/dev/full", dir.path().string());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find("No space left on device"), std::string::npos) << r.output;
    }
    const RunResult r = shell(kTools + " table --csv in.3d >/dev/null", dir.path().string());
    EXPECT_EQ(r.status, 0) << r.output;
}

// A detached NRRD header's data file is read no further than the header says: it must be a
// regular file in the header's folder holding exactly the header's bytes (byte skip, then the
// voxels), checked before a byte is read. An endless device or a pipe is refused at once, and a
// header cannot pick the last bytes of whatever file it names.
TEST_F(GuardTest, DetachedNrrdDataIsARegularFileOfTheHeadersSize) {
    const std::string fields = "NRRD0004\ntype: uint8\ndimension: 3\nencoding: raw\n";
    auto header = [&](const std::string& name, const std::string& extra) {
        std::ofstream f(dir.file(name), std::ios::binary);
        f << fields << extra;
    };
    Bytes secret(99, 'x');
    secret.push_back(7);
    write_bytes(dir.file("secret.txt"), secret);
    write_bytes(dir.file("ok.raw"), concat(Bytes(3, 9), Bytes(27, 1)));
    fs::create_symlink("/dev/zero", dir.file("zero"));
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    header("device.nhdr", "sizes: 1 1 1\ndata file: /dev/zero\n");
    header("link.nhdr", "sizes: 1 1 1\ndata file: zero\n");
    header("pipe.nhdr", "sizes: 1 1 1\ndata file: pipe\n");
    header("huge.nhdr", "sizes: 1 1 1\ndata file: ok.raw\nbyte skip: 1099511627776\n");
    header("tail.nhdr", "sizes: 1 1 1\ndata file: secret.txt\nbyte skip: -1\n");
    header("short.nhdr", "sizes: 3 3 3\ndata file: ok.raw\nbyte skip: 4\n");
    header("ok.nhdr", "sizes: 3 3 3\ndata file: ok.raw\nbyte skip: 3\n");
    const std::pair<std::string, std::string> refused[] = {
        {"device.nhdr", "'/dev/zero': only one file, named relative to the header's folder, is read"},
        {"link.nhdr", "'zero' outside the header's folder"},
        {"pipe.nhdr", "'pipe', which is no regular file"},
        {"huge.nhdr", "byte skip '1099511627776'"},
        {"tail.nhdr", "byte skip '-1'; only a count of bytes can be read"},
        {"short.nhdr", "describes 27 bytes of labels, but 'ok.raw' holds 26"},
    };
    for (const auto& [name, message] : refused) {
        SCOPED_TRACE(name);
        const RunResult r = shell("timeout 10 " + kTools + " import " + name + " out.3d", dir.path().string());
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("largest value"), std::string::npos) << r.output;
    }
    EXPECT_FALSE(fs::exists(dir.file("out.3d")));
    const RunResult r = shell(kTools + " import ok.nhdr out.3d", dir.path().string());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("27 voxels set"), std::string::npos) << r.output;
}

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#else
constexpr std::uint32_t kAuditArch = 0;
#endif

// Runs a program with umask 077 under a seccomp filter that kills it at its first umask() call;
// its exit status, or 128 + the signal that ended it.
int run_without_umask_calls(const std::vector<std::string>& command, const std::string& workdir) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(workdir.c_str()) != 0) _exit(126);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        umask(077);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_umask, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            _exit(125);
        std::vector<char*> argv;
        for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The mode of a new output comes from the umask as the system reports it; the process umask is
// never set, not even for an instant, for in that instant a file made on another thread (Python's
// threads write and open files alongside) would get the wrong mode.
TEST_F(GuardTest, NewOutputsGetTheUmasksModeWithoutSettingIt) {
#ifdef TARVO_PORTABLE
    GTEST_SKIP() << "the portable build leaves modes to the standard library";
#endif
    if (kAuditArch == 0) GTEST_SKIP() << "no seccomp filter for this processor";
    const std::vector<std::vector<std::string>> commands = {
        {TARVO_EXE, "in.3d", "new.3d", "3", "4", "99999"}, {TOOLS_EXE, "make", "sphere", "8", "made.3d"}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command[1]);
        EXPECT_EQ(run_without_umask_calls(command, dir.path().string()), 0);
    }
    EXPECT_EQ(fs::status(dir.file("new.3d")).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(dir.file("made.3d")).permissions(), fs::perms(0600));
}

}  // namespace

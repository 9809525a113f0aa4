// Faults as a script meets them: the built tarvo is run as a separate process, and each test
// checks the exit status, the message and the files left behind. Damaged inputs, inputs that
// are not files, full and unwritable outputs, outputs that are links, devices or pipes, memory
// limits and interruption while the output is written.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace fs = std::filesystem;
using namespace test_support;

extern char** environ;

namespace {

// 128 MB: a run on the small test particles needs far less (threads' stacks included), a grid of
// edge 1290 needs 268 MB.
constexpr const char* kSmallAddressSpace = "ulimit -v 131072 &&";

#ifdef TARVO_SANITIZED
// AddressSanitizer reserves terabytes of address space at start, so a limit stops it outright.
constexpr bool kAddressLimitWorks = false;
#else
constexpr bool kAddressLimitWorks = true;
#endif

const std::vector<std::string> kCuts = {"3", "4", "99999"};

std::vector<std::string> args_for(const std::string& in, const std::string& out) {
    std::vector<std::string> a{in, out};
    a.insert(a.end(), kCuts.begin(), kCuts.end());
    return a;
}

void write_particle(const std::string& path, std::int32_t dim, std::uint64_t seed) {
    Body body = body_of_edge(dim);
    std::mt19937_64 rng(seed);
    fill_random(body.rec, rng, 0.5);
    write_bytes(path, written_file(body.rec));
}

const Bytes kOldOutput = {'o', 'l', 'd', ' ', 'o', 'u', 't', 'p', 'u', 't', '\n'};
const std::string kFreed = "Free_teleso(): Uvolnujem hlavny pamatovy blok...O.K.\n";

std::string same_file_message(const std::string& in, const std::string& out) {
    return "Initialisation...\nInput '" + in + "' and output '" + out +
           "' are the same file; refusing to overwrite the input\n";
}
std::string short_input_message(const std::string& in, std::size_t bytes) {
    return "Initialisation...\nInput file '" + in + "' is too short (" + std::to_string(bytes) +
           " bytes): it has no edge length\n";
}
std::string edge_range_message(const std::string& in, std::int32_t dim) {
    return "Initialisation...\nInput file '" + in + "' has edge length " + std::to_string(dim) +
           ", outside 0 to 1290\n";
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        in = dir.file("in.3d");
        write_particle(in, 12, 7);
        in_bytes = read_bytes(in);
    }

    // The bytes a successful run writes for the input, from a plain run to a regular file.
    Bytes reference_output() {
        ScratchDir ref_dir;
        const std::string ref = ref_dir.file("ref.3d");
        const RunResult r = run_tarvo(args_for(in, ref));
        EXPECT_EQ(r.status, 0) << r.output;
        const Bytes bytes = read_bytes(ref);
        EXPECT_GT(bytes.size(), 52u);
        return bytes;
    }

    ScratchDir dir;
    std::string in;
    Bytes in_bytes;
};

// ---------------------------------------------------------------------------------------------
// Devices as output.

TEST_F(FaultTest, FullDeviceFailsAndNullDeviceSucceeds) {
    const RunResult full = run_tarvo(args_for(in, "/dev/full"));
    EXPECT_EQ(full.status, 1) << full.output;
    EXPECT_NE(full.output.find("Writing the output file...Write_teleso(): Zapisujem subor /dev/full ... \n"
                               "Write_teleso(): Chyba pri zapise do suboru /dev/full\n"),
              std::string::npos)
        << full.output;
    EXPECT_TRUE(ends_with(full.output, kFreed)) << full.output;

    const RunResult null = run_tarvo(args_for(in, "/dev/null"));
    EXPECT_EQ(null.status, 0) << null.output;
    EXPECT_TRUE(ends_with(null.output, "Write_teleso(): Zapisujem subor /dev/null ... O.K.\nO.K.\n" + kFreed))
        << null.output;
    // Devices are written in place: they stay devices.
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_EQ(read_bytes(in), in_bytes);
}

// ---------------------------------------------------------------------------------------------
// A failing run leaves an existing output exactly as it was, and no other file.

TEST_F(FaultTest, FailedRunKeepsExistingOutput) {
    const std::string out = dir.file("out.3d");
    struct Case {
        std::string name;
        std::string input;
        Bytes input_bytes;  // written when not empty
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"missing input", dir.file("missing.3d"), {}, "Initialisation...\nCan't read '" + dir.file("missing.3d") + "' file\n"},
        {"five-byte input", dir.file("short.3d"), Bytes{2, 0, 0, 0, 2}, short_input_message(dir.file("short.3d"), 5)},
        {"edge 5000", dir.file("big.3d"), header_bytes(0, 5000), edge_range_message(dir.file("big.3d"), 5000)},
        {"input is a directory", dir.path().string(), {},
         "Initialisation...\nInput file '" + dir.path().string() + "' cannot be read: Is a directory\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_bytes(out, kOldOutput);
        if (!c.input_bytes.empty()) write_bytes(c.input, c.input_bytes);
        const std::set<std::string> before = names_in(dir.path());
        const RunResult r = run_tarvo(args_for(c.input, out));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, c.expected);
        EXPECT_EQ(read_bytes(out), kOldOutput);
        EXPECT_EQ(names_in(dir.path()), before);
    }
}

TEST_F(FaultTest, PathsThatNameNoFileAreRefused) {
    fs::create_directory(dir.path() / "folder");
    const std::string folder = dir.file("folder");
    struct Case {
        std::string input, output, expected;
    };
    const std::vector<Case> cases = {
        {in, folder, "Initialisation...\nCan't write to '" + folder + "' file\n"},
        {in, folder + "/", "Initialisation...\nCan't write to '" + folder + "/' file\n"},
        {in, "", "Initialisation...\nCan't write to '' file\n"},
        {"", dir.file("out.3d"), "Initialisation...\nCan't read '' file\n"},
    };
    const std::set<std::string> before = names_in(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.input + "' -> '" + c.output + "'");
        const RunResult r = run_tarvo(args_for(c.input, c.output));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, c.expected);
        EXPECT_EQ(names_in(dir.path()), before);
        EXPECT_TRUE(fs::is_empty(dir.path() / "folder"));
    }
    // A device that reads as zeros is a particle of edge 0.
    const RunResult zeros = run_tarvo(args_for("/dev/zero", "/dev/null"));
    EXPECT_EQ(zeros.status, 0);
    EXPECT_NE(zeros.output.find("Particle contains 0 voxels.\n"), std::string::npos) << zeros.output;
}

// A file size limit makes writing fail like a full disk, on a regular output that is replaced
// through a temporary file. (SIGXFSZ is ignored so that the write reports the error instead.)
TEST_F(FaultTest, FullDiskKeepsExistingOutputAndRemovesTemporaryFile) {
    write_particle(in, 24, 11);  // about 10 kB of output, far above the limit of 512 bytes
    const std::string out = dir.file("out.3d");
    write_bytes(out, kOldOutput);
    const RunResult r = run_tarvo_under("trap '' XFSZ; ulimit -f 1 &&", args_for(in, out));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.output, "Writing the output file...Write_teleso(): Zapisujem subor " + out +
                                        " ... \nWrite_teleso(): Chyba pri zapise do suboru " + out + "\n" + kFreed))
        << r.output;
    EXPECT_EQ(read_bytes(out), kOldOutput);
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in.3d", "out.3d"}));
}

// Under the same limit with SIGXFSZ at its default, the signal ends the run mid-write.
TEST_F(FaultTest, FileSizeLimitSignalRemovesTemporaryFile) {
    write_particle(in, 24, 11);
    const std::string out = dir.file("out.3d");
    write_bytes(out, kOldOutput);
    const RunResult r = run_tarvo_under("ulimit -f 1 &&", args_for(in, out));
    EXPECT_EQ(r.status, 128 + SIGXFSZ) << r.output;
    EXPECT_EQ(read_bytes(out), kOldOutput);
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in.3d", "out.3d"}));
}

TEST_F(FaultTest, UnwritableDirectoryKeepsExistingOutput) {
#ifdef TARVO_PORTABLE
    GTEST_SKIP() << "the portable build checks no permissions before it writes";
#endif
    const Unprivileged nobody = unprivileged();
    if (!nobody.available) GTEST_SKIP() << nobody.why_not;
    fs::permissions(in, fs::perms::all, fs::perm_options::add);
    const fs::path locked = dir.path() / "locked";
    fs::create_directory(locked);
    const std::string writable_out = (locked / "writable.3d").string();
    const std::string readonly_out = (locked / "readonly.3d").string();
    write_bytes(writable_out, kOldOutput);
    write_bytes(readonly_out, kOldOutput);
    fs::permissions(writable_out, fs::perms(0666), fs::perm_options::replace);
    fs::permissions(readonly_out, fs::perms(0644), fs::perm_options::replace);
    fs::permissions(dir.path(), fs::perms(0755), fs::perm_options::replace);
    fs::permissions(locked, fs::perms(0555), fs::perm_options::replace);

    // The file itself may be written, but no temporary file can be made beside it.
    const RunResult a = run_tarvo_under(nobody.prefix, args_for(in, writable_out));
    EXPECT_EQ(a.status, 1);
    EXPECT_TRUE(ends_with(a.output, "Writing the output file...Write_teleso(): Neda sa otvorit subor " +
                                        writable_out + "\n" + kFreed))
        << a.output;
    // Neither the file nor its directory may be written: refused by the output check.
    const RunResult b = run_tarvo_under(nobody.prefix, args_for(in, readonly_out));
    EXPECT_EQ(b.status, 1);
    EXPECT_EQ(b.output, "Initialisation...\nCan't write to '" + readonly_out + "' file\n");

    EXPECT_EQ(read_bytes(writable_out), kOldOutput);
    EXPECT_EQ(read_bytes(readonly_out), kOldOutput);
    EXPECT_EQ(names_in(locked), (std::set<std::string>{"readonly.3d", "writable.3d"}));
}

// ---------------------------------------------------------------------------------------------
// Input and output naming the same file.

TEST_F(FaultTest, SameFileUnderAnyNameIsRefused) {
    fs::create_directory(dir.path() / "sub");
    fs::create_symlink(in, dir.path() / "link.3d");
    fs::create_hard_link(in, dir.path() / "hard.3d");
    struct Case {
        std::string input, output;
    };
    const std::string abs_in = in;
    const std::vector<Case> cases = {
        {"in.3d", "in.3d"},              // the same path
        {"./in.3d", "in.3d"},            // another spelling
        {"in.3d", abs_in},               // relative and absolute
        {"in.3d", "sub/../in.3d"},       // through another directory
        {"in.3d", "link.3d"},            // a symbolic link as output
        {"link.3d", "in.3d"},            // a symbolic link as input
        {"in.3d", "hard.3d"},            // a hard link
    };
    const std::set<std::string> before = names_in(dir.path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input + " -> " + c.output);
        const RunResult r = run_tarvo(args_for(c.input, c.output), dir.path().string());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, same_file_message(c.input, c.output));
        EXPECT_EQ(read_bytes(in), in_bytes);
        EXPECT_TRUE(fs::is_symlink(dir.path() / "link.3d"));
        EXPECT_EQ(names_in(dir.path()), before);
    }
}

// ---------------------------------------------------------------------------------------------
// Headers without a usable edge length are refused before anything is allocated: under a small
// address-space limit the refusal is the range message, not a failed allocation.

TEST_F(FaultTest, EdgeLengthOutOfRangeIsRefusedWithoutAllocation) {
    const std::string prefix = kAddressLimitWorks ? kSmallAddressSpace : "";
    const std::string out = dir.file("out.3d");
    // The limit leaves room for a normal run.
    const RunResult control = run_tarvo_under(prefix, args_for(in, out));
    ASSERT_EQ(control.status, 0) << control.output;
    fs::remove(out);

    for (const std::int32_t dim : {-1, 1291, 2147483647, -2147483647 - 1}) {
        SCOPED_TRACE(dim);
        const std::string bad = dir.file("dim.3d");
        write_bytes(bad, concat(header_bytes(1, dim), Bytes{0xFF, 0x01, 0x01}));
        const RunResult r = run_tarvo_under(prefix, args_for(bad, out));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, edge_range_message(bad, dim));
        EXPECT_FALSE(fs::exists(out));
    }
    for (std::size_t length = 0; length < 8; ++length) {
        SCOPED_TRACE(length);
        const std::string bad = dir.file("short.3d");
        Bytes bytes = header_bytes(1, 2);
        bytes.resize(length);
        write_bytes(bad, bytes);
        const RunResult r = run_tarvo_under(prefix, args_for(bad, out));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.output, short_input_message(bad, length));
        EXPECT_FALSE(fs::exists(out));
    }
}

TEST_F(FaultTest, AllocationFailureReportsCreateTeleso) {
    if (!kAddressLimitWorks) GTEST_SKIP() << "an address-space limit stops the sanitizer runtime";
    const std::string big = dir.file("edge1290.3d");
    write_bytes(big, header_bytes(0, 1290));  // a header alone: the stream would read as empty
    const std::string out = dir.file("out.3d");
    write_bytes(out, kOldOutput);
    const RunResult r = run_tarvo_under(kSmallAddressSpace, args_for(big, out));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output,
              "Initialisation...\n"
              "Create_teleso(): Alokujem hlavny blok pre teleso o dlzke 268.34 Mbyte...\n"
              "Create_teleso(): Malo pamate.\n");
    EXPECT_EQ(read_bytes(out), kOldOutput);
}

// ---------------------------------------------------------------------------------------------
// Inputs that cannot be read.

TEST_F(FaultTest, UnreadableInputIsRefused) {
    const Unprivileged nobody = unprivileged();
    if (!nobody.available) GTEST_SKIP() << nobody.why_not;
    fs::permissions(dir.path(), fs::perms(0777), fs::perm_options::replace);
    fs::permissions(in, fs::perms::none, fs::perm_options::replace);
    const std::string out = dir.file("out.3d");
    const RunResult r = run_tarvo_under(nobody.prefix, args_for(in, out));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Initialisation...\nCan't read '" + in + "' file\n");
    EXPECT_FALSE(fs::exists(out));
}

// ---------------------------------------------------------------------------------------------
// Paths.

TEST_F(FaultTest, LongAndUnusualPathsWork) {
    const Bytes expected = reference_output();
    fs::path deep = dir.path();
    for (int level = 0; level < 5; ++level) deep /= std::string(120, static_cast<char>('a' + level));
    fs::create_directories(deep);
    const fs::path unusual = dir.path() / "čiastočka s medzerou — ž";
    fs::create_directory(unusual);
    struct Case {
        std::string input, output;
    };
    const std::vector<Case> cases = {
        {(deep / "vstup.3d").string(), (deep / "výstup.3d").string()},
        {(unusual / "vstup s medzerou.3d").string(), (unusual / "výstup 'úzky' $HOME.3d").string()},
        // The longest name a directory entry may have.
        {(dir.path() / std::string(251, 'i')).string() + ".3d", (dir.path() / std::string(251, 'o')).string() + ".3d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        write_bytes(c.input, in_bytes);
        write_bytes(c.output, kOldOutput);  // replaced
        const RunResult r = run_tarvo(args_for(c.input, c.output));
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(ends_with(r.output, "Write_teleso(): Zapisujem subor " + c.output + " ... O.K.\nO.K.\n" + kFreed))
            << r.output;
        EXPECT_EQ(read_bytes(c.output), expected);
        EXPECT_EQ(temporary_files_in(fs::path(c.output).parent_path()), 0u);
    }
}

// ---------------------------------------------------------------------------------------------
// What kind of file the output is survives the run.

TEST_F(FaultTest, ExistingOutputKeepsPermissionBits) {
    const Bytes expected = reference_output();
    for (const auto mode : {fs::perms(0640), fs::perms(0600), fs::perms(0755), fs::perms(0664)}) {
        SCOPED_TRACE(static_cast<int>(mode));
        const std::string out = dir.file("out.3d");
        write_bytes(out, kOldOutput);
        fs::permissions(out, mode, fs::perm_options::replace);
        const RunResult r = run_tarvo(args_for(in, out));
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(read_bytes(out), expected);
        EXPECT_EQ(fs::status(out).permissions(), mode);
    }
}

TEST_F(FaultTest, SymbolicLinkAsOutputStaysLink) {
    const Bytes expected = reference_output();
    fs::create_directory(dir.path() / "links");
    fs::create_directory(dir.path() / "data");
    const fs::path target = dir.path() / "data" / "target.3d";
    write_bytes(target.string(), kOldOutput);
    fs::create_symlink("../data/target.3d", dir.path() / "links" / "out.3d");        // relative
    fs::create_symlink("out.3d", dir.path() / "links" / "chain.3d");                 // link to a link
    fs::create_symlink("../data/new.3d", dir.path() / "links" / "dangling.3d");      // target missing
    for (const std::string name : {"out.3d", "chain.3d", "dangling.3d"}) {
        SCOPED_TRACE(name);
        const fs::path link = dir.path() / "links" / name;
        const fs::path link_text = fs::read_symlink(link);
        const RunResult r = run_tarvo(args_for(in, link.string()));
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link), link_text);
        EXPECT_EQ(read_bytes(link.string()), expected);
    }
    EXPECT_EQ(read_bytes(target.string()), expected);
    EXPECT_EQ(read_bytes((dir.path() / "data" / "new.3d").string()), expected);
    EXPECT_EQ(names_in(dir.path() / "data"), (std::set<std::string>{"new.3d", "target.3d"}));
    EXPECT_EQ(names_in(dir.path() / "links"), (std::set<std::string>{"chain.3d", "dangling.3d", "out.3d"}));
}

TEST_F(FaultTest, NamedPipeAsOutputReceivesFile) {
    const Bytes expected = reference_output();
    const std::string fifo = dir.file("pipe.3d");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Bytes received;
    std::thread reader([&] { received = read_bytes(fifo); });
    const RunResult r = run_tarvo(args_for(in, fifo));
    // Should tarvo never have opened the pipe, this lets the reader's open return.
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    reader.join();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in.3d", "pipe.3d"}));
}

// ---------------------------------------------------------------------------------------------
// Interruption while the output is being written.
//
// tarvo's standard output goes into a pipe that is already full (or has no reader), so its first
// write to the console blocks (or raises SIGPIPE). Its transcript before the writing stage is far
// smaller than a stdio buffer, so that first write is the flush of "Write_teleso(): Zapisujem
// subor ..." -- made once the temporary file exists. The test waits for that file, interrupts the
// process and looks at what is left.

enum class Console { kFull, kNoReader };

struct Started {
    pid_t pid = -1;
    int console = -1;  // read end of tarvo's standard output, -1 when closed
};

// `ignored` signals start ignored in tarvo, as under nohup or in a script's background job.
Started start_tarvo(const std::vector<std::string>& args, Console console, const std::vector<int>& ignored = {}) {
    Started s;
    int fds[2];
    if (pipe(fds) != 0) return s;
    if (console == Console::kFull) {
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
        const std::vector<char> filler(4096, 'x');
        for (std::size_t chunk = filler.size(); chunk > 0;) {
            if (write(fds[1], filler.data(), chunk) < 0) chunk /= 2;  // fill the last bytes too
        }
        fcntl(fds[1], F_SETFL, 0);  // tarvo must block, not fail, on the full pipe
    } else {
        close(fds[0]);
        fds[0] = -1;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    if (fds[0] >= 0) posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, empty;
    sigemptyset(&defaults);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGUSR1, SIGALRM})
        if (std::find(ignored.begin(), ignored.end(), sig) == ignored.end()) sigaddset(&defaults, sig);
    sigemptyset(&empty);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &empty);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> all{TARVO_EXE};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    // An ignored disposition is inherited through exec; set it only around the spawn. (SIGPIPE is
    // ignored in this test process anyway, so that writes to a pipe without reader fail.)
    std::vector<std::pair<int, sighandler_t>> saved;
    for (const int sig : ignored) saved.emplace_back(sig, std::signal(sig, SIG_IGN));
    if (posix_spawn(&s.pid, TARVO_EXE, &actions, &attr, argv.data(), environ) != 0) s.pid = -1;
    for (const auto& [sig, handler] : saved) std::signal(sig, handler);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    s.console = fds[0];
    return s;
}

// The temporary file of an output, or an empty path.
fs::path temporary_file(const fs::path& dir, const std::string& target_name) {
    for (const std::string& name : names_in(dir))
        if (name.rfind("." + target_name + ".", 0) == 0 && ends_with(name, ".tmp")) return dir / name;
    return {};
}

fs::path wait_for_temporary_file(const fs::path& dir, const std::string& target_name) {
    for (int wait = 0; wait < 2000; ++wait) {
        if (fs::path p = temporary_file(dir, target_name); !p.empty()) return p;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

class InterruptTest : public FaultTest {
protected:
    void SetUp() override {
        FaultTest::SetUp();
        previous_pipe_handler = std::signal(SIGPIPE, SIG_IGN);
        out = dir.file("out.3d");
        write_bytes(out, kOldOutput);
        fs::permissions(out, fs::perms(0640), fs::perm_options::replace);
    }

    void expect_untouched() {
        EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in.3d", "out.3d"}));
        EXPECT_EQ(read_bytes(out), kOldOutput);
        EXPECT_EQ(fs::status(out).permissions(), fs::perms(0640));
    }

    void TearDown() override { std::signal(SIGPIPE, previous_pipe_handler); }

    std::string out;
    sighandler_t previous_pipe_handler = SIG_DFL;
};

// Whatever signal ends the run while it writes, the temporary file goes; while it is there, no one
// but its owner can read it, even when the output it replaces may be read by the group.
TEST_F(InterruptTest, SignalWhileWritingLeavesNoTraces) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM}) {
        SCOPED_TRACE(strsignal(sig));
        Started run = start_tarvo(args_for(in, out), Console::kFull);
        ASSERT_GT(run.pid, 0);
        const fs::path temp = wait_for_temporary_file(dir.path(), "out.3d");
        const bool writing = !temp.empty();
        EXPECT_TRUE(writing) << "no temporary file appeared";
        if (writing) {
            EXPECT_EQ(fs::status(temp).permissions(), fs::perms(0600));
        }
        int status = 0;
        EXPECT_EQ(waitpid(run.pid, &status, WNOHANG), 0) << "tarvo ended before it was interrupted";
        kill(run.pid, writing ? sig : SIGKILL);
        ASSERT_EQ(waitpid(run.pid, &status, 0), run.pid);
        close(run.console);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        expect_untouched();
    }
}

// As in `tarvo in.3d out.3d 1 1 1 | true`: the console has no reader when the transcript is
// flushed, and SIGPIPE ends the run.
TEST_F(InterruptTest, ConsoleWithoutReaderLeavesNoTraces) {
    Started run = start_tarvo(args_for(in, out), Console::kNoReader);
    ASSERT_GT(run.pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(run.pid, &status, 0), run.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << "status " << status;
    expect_untouched();
}

// Under nohup, or in the background of a script, the signals stay ignored and the run completes.
TEST_F(InterruptTest, IgnoredSignalsStayIgnored) {
    const Bytes expected = reference_output();
    Started run = start_tarvo(args_for(in, out), Console::kFull, {SIGINT, SIGHUP});
    ASSERT_GT(run.pid, 0);
    EXPECT_FALSE(wait_for_temporary_file(dir.path(), "out.3d").empty());
    kill(run.pid, SIGHUP);
    kill(run.pid, SIGINT);
    std::string console;
    char buf[4096];
    for (ssize_t k; (k = read(run.console, buf, sizeof buf)) > 0;) console.append(buf, static_cast<std::size_t>(k));
    close(run.console);
    int status = 0;
    ASSERT_EQ(waitpid(run.pid, &status, 0), run.pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_TRUE(ends_with(console, "O.K.\nO.K.\n" + kFreed)) << console;
    EXPECT_EQ(read_bytes(out), expected);
    EXPECT_EQ(fs::status(out).permissions(), fs::perms(0640));
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in.3d", "out.3d"}));
}

// A chain of links that never ends is refused as the system refuses it: the links stay links,
// and no regular file takes their place.
TEST_F(FaultTest, SymbolicLinkLoopAsOutputIsRefused) {
    fs::create_symlink("b.3d", dir.path() / "a.3d");
    fs::create_symlink("a.3d", dir.path() / "b.3d");
    fs::create_symlink("self.3d", dir.path() / "self.3d");
    for (const std::string name : {"a.3d", "self.3d"}) {
        SCOPED_TRACE(name);
        const std::string out = dir.file(name);
        const RunResult r = run_tarvo(args_for(in, out));
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_EQ(r.output.rfind("Initialisation...\nCan't write to '" + out + "' file\n", 0), 0u) << r.output;
        EXPECT_TRUE(fs::is_symlink(out));
    }
    EXPECT_EQ(fs::read_symlink(dir.path() / "a.3d"), "b.3d");
    EXPECT_EQ(fs::read_symlink(dir.path() / "self.3d"), "self.3d");
    EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"in.3d", "a.3d", "b.3d", "self.3d"}));
}

// A signal that lands the moment the temporary file has been created, before the call that
// created it has even returned, still removes it: the guard is in place before the file exists.
// tarvo runs traced; at the first system call stop at which its temporary file exists, SIGINT is
// sent, and delivered as that call returns.
TEST_F(InterruptTest, SignalAsTheTemporaryFileIsCreatedLeavesNoTraces) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execl(TARVO_EXE, TARVO_EXE, in.c_str(), out.c_str(), "3", "4", "99999", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    ASSERT_EQ(ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL), 0);
    bool sent = false;
    long deliver = 0;
    for (;;) {
        ASSERT_EQ(ptrace(PTRACE_SYSCALL, pid, nullptr, reinterpret_cast<void*>(deliver)), 0);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        if (!WIFSTOPPED(status)) break;
        deliver = 0;
        const int sig = WSTOPSIG(status);
        if (sig == SIGTRAP) {
            continue;  // the stop after exec
        } else if (sig != (SIGTRAP | 0x80)) {
            deliver = sig;  // a signal on its way: passed on
        } else if (!sent && !temporary_file(dir.path(), "out.3d").empty()) {
            kill(pid, SIGINT);
            sent = true;
        }
    }
    EXPECT_TRUE(sent) << "no temporary file appeared";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
    expect_untouched();
}

}  // namespace

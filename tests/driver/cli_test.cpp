// The tarvo program run as a user runs it: transcripts, exit statuses and the files left behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "support.h"

using namespace test_support;
namespace fs = std::filesystem;

namespace {

const std::string kUsage =
    "Program tarvo.exe a cut of a particle by a plane (to see the interior).\n"
    "Input: a shape form file (*.3d), output: new shape form file\n"
    "The cutting plane is given by three axis-cut lenghts.\n"
    "In the case that one or two cut-lenghts are 'infinite' some special double-cuts may be produced.\n"
    "\nExecution: tarvo <input *.3d> <output *.3d> <x-cut> <y-cut> <z-cut>\n\n"
    "\nExample: tarvo part.3d part2.3d 1 1 99999\n";

std::string complete_transcript(const std::string& output, const std::string& megabytes, long voxels,
                                const std::string& center) {
    return "Initialisation...\n"
           "Create_teleso(): Alokujem hlavny blok pre teleso o dlzke " + megabytes + " Mbyte...O.K.\n"
           "Reading input particle...O.K.\n"
           "Analysing the particle...O.K.\n"
           "Particle contains " + std::to_string(voxels) + " voxels.\n"
           "Its center is: [" + center + "]\n"
           "Cutting the particle...OK\n"
           "Updating the characteristics of the cut particle...O.K.\n"
           "Writing the output file...Write_teleso(): Zapisujem subor " + output + " ... O.K.\n"
           "O.K.\n"
           "Free_teleso(): Uvolnujem hlavny pamatovy blok...O.K.\n";
}

// Header of a body of edge 4 with the given measurement fields.
Bytes header4(std::initializer_list<std::int32_t> measured) {
    Bytes h = header_bytes(9, 4);
    std::size_t off = 8;
    for (std::int32_t v : measured) {
        for (int k = 0; k < 4; ++k) h[off + k] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(v) >> (8 * k));
        off += 4;
    }
    return h;
}

const Bytes kFullGrid4 = concat(header_bytes(9, 4), {0xFF, 0x01, 0x01});

}  // namespace

TEST(Program, CompleteRunOnTheFullGridOfEdgeFour) {
    ScratchDir dir;
    write_bytes(dir.file("part.3d"), kFullGrid4);
    const RunResult r = run_tarvo({"part.3d", "part2.3d", "1", "1", "99999"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, complete_transcript("part2.3d", "0.00", 64, "1,1,1"));
    // 32 voxels left: x+y <= 3 in layers 0 and 1, x+y <= 2 in layers 2 and 3.
    const Bytes stream = {0xC7, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0xC3, 0x00,   // z = 0
                          0xC7, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0xC3, 0x00,   // z = 1
                          0xC3, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0xC7, 0x00,   // z = 2
                          0xC3, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0xC7, 0x00};  // z = 3
    EXPECT_EQ(read_bytes(dir.file("part2.3d")), concat(header4({0, 3, 0, 3, 0, 3, 0, 0, 1, 32}), stream));
    EXPECT_EQ(read_bytes(dir.file("part.3d")), kFullGrid4);
}

TEST(Program, UsageForAWrongArgumentCount) {
    ScratchDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"a.3d", "b.3d", "1", "1"}, {"a.3d", "b.3d", "1", "1", "1", "1"}}) {
        const RunResult r = run_tarvo(args, dir.path().string());
        EXPECT_EQ(r.status, 1) << args.size();
        EXPECT_EQ(r.output, kUsage) << args.size();
    }
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(Program, OutputThatCannotBeWritten) {
    ScratchDir dir;
    const std::string out = dir.file("missing/part2.3d");
    const RunResult r = run_tarvo({"nothing-here.3d", out, "1", "1", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Initialisation...\nCan't write to '" + out + "' file\n");
}

TEST(Program, MissingInputLeavesNoOutputBehind) {
    ScratchDir dir;
    const RunResult r = run_tarvo({"absent.3d", "out.3d", "1", "1", "1"}, dir.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Initialisation...\nCan't read 'absent.3d' file\n");
    EXPECT_TRUE(fs::is_empty(dir.path()));

    write_bytes(dir.file("out.3d"), {9, 9, 9});  // an existing output stays as it was
    EXPECT_EQ(run_tarvo({"absent.3d", "out.3d", "1", "1", "1"}, dir.path().string()).status, 1);
    EXPECT_EQ(read_bytes(dir.file("out.3d")), (Bytes{9, 9, 9}));
}

TEST(Program, EmptyParticle) {
    ScratchDir dir;
    write_bytes(dir.file("empty.3d"), concat(header_bytes(9, 4, 77), {0xFF, 0x00, 0x00}));
    const RunResult r = run_tarvo({"empty.3d", "cut.3d", "1", "1", "1"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, complete_transcript("cut.3d", "0.00", 0, "1,1,1"));
    EXPECT_EQ(read_bytes(dir.file("cut.3d")),
              concat(header4({3, 0, 3, 0, 3, 0, 0, 0, 0, 0}), {0xFF, 0x00, 0x00}));
}

TEST(Program, CutThatRemovesEverything) {
    // Two voxels on a diagonal, (0,3,0) and (3,0,0): centre (1,1,0), both with a plane sum of 2.
    ScratchDir dir;
    const Bytes stream = {0x00, 0x00, 0x00, 0x01, 0xC8, 0x00, 0x01, 0xFF, 0x00};  // 3 0s, 1, 8 0s, 1, ...
    write_bytes(dir.file("two.3d"), concat(header_bytes(9, 4), stream));
    const RunResult r = run_tarvo({"two.3d", "none.3d", "0.5", "0.5", "99999"}, dir.path().string());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, complete_transcript("none.3d", "0.00", 2, "1,1,0"));
    EXPECT_EQ(read_bytes(dir.file("none.3d")),
              concat(header4({3, 0, 3, 0, 3, 0, 0, 0, 0, 0}), {0xFF, 0x00, 0x00}));
}

TEST(Program, SameFileIsRefusedAndKept) {
    ScratchDir dir;
    write_bytes(dir.file("part.3d"), kFullGrid4);
    fs::create_symlink("part.3d", dir.file("alias.3d"));
    for (const char* out : {"part.3d", "./part.3d", "alias.3d"}) {
        const RunResult r = run_tarvo({"part.3d", out, "1", "1", "1"}, dir.path().string());
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(r.output, std::string("Initialisation...\nInput 'part.3d' and output '") + out +
                                "' are the same file; refusing to overwrite the input\n");
        EXPECT_EQ(read_bytes(dir.file("part.3d")), kFullGrid4);
    }
}

TEST(Program, LongPathsWork) {
    ScratchDir dir;
    std::string sub = dir.path().string();
    for (int k = 0; k < 4; ++k) {
        sub += "/" + std::string(60, static_cast<char>('a' + k)) + " ü";
        fs::create_directory(sub);
    }
    const std::string in = sub + "/in.3d", out = sub + "/out put.3d";
    ASSERT_GT(out.size(), 250u);
    write_bytes(in, kFullGrid4);
    const RunResult r = run_tarvo({in, out, "99999", "99999", "99999"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, complete_transcript(out, "0.00", 64, "1,1,1"));
    EXPECT_EQ(read_bytes(out), concat(header4({0, 3, 0, 3, 0, 3, 1, 1, 1, 64}), {0xFF, 0x01, 0x01}));
}

TEST(Program, DamagedHeaderIsRefused) {
    ScratchDir dir;
    write_bytes(dir.file("short.3d"), {1, 2, 3});
    write_bytes(dir.file("huge.3d"), header_bytes(0, 5000));
    RunResult r = run_tarvo({"short.3d", "o.3d", "1", "1", "1"}, dir.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Initialisation...\nInput file 'short.3d' is too short (3 bytes): it has no edge length\n");
    r = run_tarvo({"huge.3d", "o.3d", "1", "1", "1"}, dir.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "Initialisation...\nInput file 'huge.3d' has edge length 5000, outside 0 to 1290\n");
    EXPECT_FALSE(fs::exists(dir.file("o.3d")));
}

// TARVO_KERNEL forces the codec's kernel; one that cannot be had stops both programs before they
// touch a file, and the tools name the kernel they would use.
TEST(Program, AKernelThatCannotBeHadIsRefusedBeforeAnyFileIsTouched) {
    ScratchDir dir;
    write_bytes(dir.file("part.3d"), kFullGrid4);
    const RunResult r = test_support::run_program(TARVO_EXE, {"part.3d", "out.3d", "1", "1", "99999"}, dir.path().string(),
                                                  std::string("env TARVO_KERNEL=avx1024 ") + TARVO_RUNNER);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "TARVO_KERNEL=avx1024: no such kernel (scalar, sse2, avx2 or avx512)\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.3d")));

    const RunResult scalar = test_support::run_program(TARVO_EXE, {"part.3d", "out.3d", "1", "1", "99999"},
                                                       dir.path().string(), std::string("env TARVO_KERNEL=scalar ") + TARVO_RUNNER);
    EXPECT_EQ(scalar.status, 0);
    EXPECT_EQ(scalar.output, complete_transcript("out.3d", "0.00", 64, "1,1,1"));
}

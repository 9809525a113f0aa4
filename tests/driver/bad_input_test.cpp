// The folder data/bad holds short, damaged and foreign inputs; data/bad/expected.tsv says for
// each one what tarvo does with it: refuse it (status 1, its message, no output file) or read it
// as the file format says (status 0, the voxel count of the first measurement).
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"

namespace fs = std::filesystem;
using namespace test_support;

namespace {

const fs::path kFolder = fs::path(TARVO_TEST_DATA) / "bad";
const std::set<std::string> kNotInputs = {"expected.tsv", "make_bad_inputs.py"};

struct Expected {
    std::string file;
    int status = -1;
    std::string transcript;  // a piece of it; for a refusal, all of it after "Initialisation...\n"
    std::string what;
};

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        parts.push_back(line.substr(start, tab - start));
    parts.push_back(line.substr(start));
    return parts;
}

std::string expand(const std::string& text, const std::string& input) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 4, "{in}") == 0) {
            out += input;
            i += 3;
        } else if (text.compare(i, 2, "\\n") == 0) {
            out += '\n';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<Expected> load_expectations() {
    std::vector<Expected> all;
    std::ifstream in(kFolder / "expected.tsv");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto parts = split_tabs(line);
        EXPECT_EQ(parts.size(), 4u) << line;
        if (parts.size() != 4) continue;
        all.push_back({parts[0], std::stoi(parts[1]), parts[2], parts[3]});
    }
    return all;
}

TEST(BadInputs, EveryFileHasAnExpectation) {
    std::set<std::string> listed;
    for (const Expected& e : load_expectations()) EXPECT_TRUE(listed.insert(e.file).second) << e.file;
    std::set<std::string> present;
    for (const auto& entry : fs::directory_iterator(kFolder)) {
        const std::string name = entry.path().filename().string();
        if (!kNotInputs.count(name)) present.insert(name);
    }
    EXPECT_FALSE(present.empty());
    EXPECT_EQ(present, listed);
}

TEST(BadInputs, EachIsRefusedOrReadAsTheFormatSays) {
    const std::string free_line = "Free_teleso(): Uvolnujem hlavny pamatovy blok...O.K.\n";
    const std::vector<Expected> all = load_expectations();
    ASSERT_GE(all.size(), 20u) << "the expectations in " << (kFolder / "expected.tsv") << " were not found";
    for (const Expected& e : all) {
        SCOPED_TRACE(e.file + ": " + e.what);
        ScratchDir dir;
        const std::string input = (kFolder / e.file).string();
        const std::string output = dir.file("out.3d");
        const RunResult r = run_tarvo({input, output, "99999", "99999", "99999"});
        EXPECT_EQ(r.status, e.status) << r.output;
        const std::string expected = expand(e.transcript, input);
        if (e.status == 1) {
            EXPECT_EQ(r.output, "Initialisation...\n" + expected);
            EXPECT_FALSE(fs::exists(output));
        } else {
            EXPECT_NE(r.output.find(expected), std::string::npos) << r.output;
            EXPECT_EQ(r.output.substr(r.output.size() - std::min(r.output.size(), free_line.size())), free_line);
            EXPECT_GE(fs::file_size(output), 52u);
        }
    }
}

}  // namespace

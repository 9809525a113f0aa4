// The page of tarvo-tools view in a real browser: Debian's chromium, headless, WebGL2 drawn by
// SwiftShader. The page's own figures are read back from the DOM and compared with the library's;
// screenshots are read back through libpng.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tarvo/geometry.h"
#include "image.h"
#include "support.h"
#include "tarvo/body.h"

namespace {

using test_support::ScratchDir;

void expect_done(const test_support::RunResult& r) { EXPECT_EQ(r.status, 0) << r.output; }

test_support::RunResult tools(const std::vector<std::string>& args) {
    return test_support::run_program(TOOLS_EXE, args);
}

// Window of the screenshots: the view fills the window left of the 380-pixel panel.
constexpr int kWindowWidth = 1180;
constexpr int kWindowHeight = 800;
constexpr int kViewWidth = kWindowWidth - 380;

std::vector<std::string> chromium_args(const ScratchDir& dir) {
    return {"--headless", "--no-sandbox", "--disable-gpu", "--use-angle=swiftshader",
            "--enable-unsafe-swiftshader", "--disable-background-networking", "--disable-component-update",
            "--disable-sync", "--no-first-run", "--user-data-dir=" + dir.file("profile")};
}

// The DOM after the page's load (its script runs before the load event), standard output only.
std::string page_dom(const std::string& url, const std::vector<std::string>& extra = {}) {
    ScratchDir dir;
    std::vector<std::string> args = {"-c", "exec \"$0\" \"$@\" 2>/dev/null", CHROMIUM_EXE};
    for (const std::string& a : chromium_args(dir)) args.push_back(a);
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("--dump-dom");
    args.push_back(url);
    const auto r = test_support::run_program("/bin/sh", args);
    EXPECT_EQ(r.status, 0);
    return r.output;
}

tarvo::tools::Image screenshot(const std::string& url, const std::string& png) {
    ScratchDir dir;
    std::vector<std::string> args = chromium_args(dir);
    args.push_back("--screenshot=" + png);
    args.push_back("--window-size=" + std::to_string(kWindowWidth) + "," + std::to_string(kWindowHeight));
    args.push_back(url);
    const auto r = test_support::run_program(CHROMIUM_EXE, args);
    EXPECT_EQ(r.status, 0) << r.output;
    tarvo::tools::Image image;
    std::string error;
    EXPECT_TRUE(tarvo::tools::read_png(png, image, error)) << error;
    return image;
}

std::string unescape_html(std::string s) {
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"&lt;", "<"}, {"&gt;", ">"},
                                   {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}})
        for (std::size_t at; (at = s.find(from)) != std::string::npos;) s.replace(at, from.size(), to);
    return s;
}

// The text of the element with this id (elements holding text only), "<missing>" without one.
std::string element_text(const std::string& dom, const std::string& id) {
    const std::size_t at = dom.find("id=\"" + id + "\"");
    if (at == std::string::npos) return "<missing>";
    const std::size_t open = dom.find('>', at);
    return unescape_html(dom.substr(open + 1, dom.find('<', open) - open - 1));
}

bool element_hidden(const std::string& dom, const std::string& id) {
    const std::size_t at = dom.find("id=\"" + id + "\"");
    if (at == std::string::npos) return true;
    const std::string tag = dom.substr(at, dom.find('>', at) - at);
    return tag.find(" hidden") != std::string::npos;
}

std::vector<long> integers(const std::string& text) {
    std::vector<long> out;
    const std::regex number("-?[0-9]+");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), number); it != std::sregex_iterator(); ++it)
        out.push_back(std::stol(it->str()));
    return out;
}

// The library's figures of a particle, as the page shows them.
struct Figures {
    long count = 0;
    std::vector<long> box;  // x min, x max, y min, ... ; empty for an empty particle
    std::vector<long> centre;
};

Figures library_figures(const TelesoRecord& rec) {
    TelesoRecord copy = rec;  // the measurement writes the fields only
    Analyse_teleso(copy);
    const Center c = Get_center(copy);
    Figures f{copy.voxels, {}, {c.x, c.y, c.z}};
    if (copy.voxels > 0) f.box = {copy.x_min, copy.x_max, copy.y_min, copy.y_max, copy.z_min, copy.z_max};
    return f;
}

void expect_page_figures(const std::string& dom, const std::string& column, const Figures& f,
                         const std::string& what) {
    EXPECT_EQ(integers(element_text(dom, column + "-count")), std::vector<long>{f.count}) << what;
    const std::string box = element_text(dom, column + "-box");
    if (f.box.empty()) {
        EXPECT_EQ(box, "empty") << what;
    } else {
        EXPECT_EQ(integers(box), f.box) << what << ": " << box;
    }
    EXPECT_EQ(integers(element_text(dom, column + "-centre")), f.centre) << what;
}

using test_support::Loaded;

std::string url_of(const std::string& path, const std::string& fragment = "") {
    return "file://" + path + (fragment.empty() ? "" : "#" + fragment);
}

// ---- figures: the page's decoding, measuring and cutting against the library's ----

TEST(ViewerPage, DecodesMeasuresAndCutsAsTheLibraryDoes) {
    ScratchDir dir;
    struct Case {
        std::vector<std::string> make;  // shape, edge, options
        std::string embedded;           // the form the page says it carries
    };
    const std::vector<Case> cases = {
        {{"grain", "40", "--seed", "2", "--pores", "20"}, "run-length stream"},
        {{"noise", "37", "--seed", "5", "--density", "0.3"}, "bitmap"},
        {{"torus", "50", "--major", "15", "--minor", "6", "--axis", "y", "--center", "20,24,27"}, "run-length stream"},
    };
    std::vector<std::string> particles;
    for (const Case& c : cases) {
        const std::string path = dir.file(c.make[0] + ".3d");
        std::vector<std::string> args = {"make", c.make[0], c.make[1], path};
        args.insert(args.end(), c.make.begin() + 2, c.make.end());
        expect_done(tools(args));
        particles.push_back(path);
    }
    // An empty particle: a header whose stream is missing reads as empty voxels.
    particles.push_back(dir.file("empty.3d"));
    test_support::write_bytes(particles.back(), test_support::header_bytes(28, 6));

    const std::vector<std::vector<std::string>> cuts = {
        {"1", "1", "99999"}, {"0", "-0", "1e39"}, {"-5", "7", "-0.1"}, {"12", "-0", "0"}};
    for (std::size_t k = 0; k < particles.size(); ++k) {
        const std::string html = dir.file(std::to_string(k) + ".html");
        expect_done(tools({"view", particles[k], html}));
        Loaded original(particles[k]);
        const Figures before = library_figures(original.rec);
        for (const auto& cut : cuts) {
            const std::string what = particles[k] + " cut " + cut[0] + " " + cut[1] + " " + cut[2];
            const std::string dom = page_dom(url_of(html, "cut=" + cut[0] + "," + cut[1] + "," + cut[2]));
            if (k < cases.size()) {
                EXPECT_NE(element_text(dom, "about").find(cases[k].embedded), std::string::npos) << what;
            }
            expect_page_figures(dom, "before", before, what);
            Loaded cut_body(particles[k]);
            Analyse_teleso(cut_body.rec);
            Cut_teleso(cut_body.rec, Get_center(cut_body.rec), Cut_length(cut[0].c_str()),
                       Cut_length(cut[1].c_str()), Cut_length(cut[2].c_str()));
            expect_page_figures(dom, "after", library_figures(cut_body.rec), what);
            EXPECT_FALSE(element_hidden(dom, "status")) << what;
            EXPECT_NE(element_text(dom, "status").find("Ready in"), std::string::npos) << what;
        }
    }
}

TEST(ViewerPage, TheCommandIsTheOneForThePlaneShown) {
    ScratchDir dir;
    const std::string in = dir.file("grain.3d"), html = dir.file("grain.html");
    expect_done(tools({"make", "grain", "24", in}));
    expect_done(tools({"view", in, html}));
    const std::string out = dir.file("grain-cut.3d");
    // Text tarvo reads as no number reads as 0 (atof) and is shown as that.
    const std::vector<std::pair<std::string, std::string>> fragments = {
        {"cut=1,1,99999", "1 1 99999"},
        {"cut=-0,1e39,nan", "-0 1e39 nan"},
        {"cut=abc,2.5e1,-7", "0 2.5e1 -7"},
        {"", "nan nan nan"},
    };
    for (const auto& [fragment, lengths] : fragments)
        EXPECT_EQ(element_text(page_dom(url_of(html, fragment)), "command"), "tarvo " + in + " " + out + " " + lengths)
            << fragment;
}

// A length that is not wholly a number is shown with a warning naming it (where the tools and
// Python refuse it), and the page still cuts as tarvo reads it. Which texts are warned about is
// the library's whole_cut_length, for every form the program reads whole.
TEST(ViewerPage, ALengthThatIsNotWhollyANumberIsWarnedAboutAndCutAsTarvoReadsIt) {
    ScratchDir dir;
    const std::string in = dir.file("grain.3d"), html = dir.file("grain.html");
    expect_done(tools({"make", "grain", "30", in, "--seed", "4"}));
    expect_done(tools({"view", in, html}));
    const std::vector<std::vector<std::pair<std::string, std::string>>> cases = {  // (fragment text, length)
        {{"1%2C5", "1,5"}, {"l", "l"}, {"0x10", "0x10"}},
        {{"-INFINITY", "-INFINITY"}, {"%201", " 1"}, {"-0x1p-3", "-0x1p-3"}},
        {{"2.5e1x", "2.5e1x"}, {"NaN", "NaN"}, {"1e", "1e"}},
    };
    for (const auto& c : cases) {
        const std::string fragment = "cut=" + c[0].first + "," + c[1].first + "," + c[2].first;
        const std::string dom = page_dom(url_of(html, fragment));
        for (int k = 0; k < 3; ++k) {
            const std::string id = std::string("warn-") + "xyz"[k], text = c[static_cast<std::size_t>(k)].second;
            const bool whole = whole_cut_length(text).has_value();
            EXPECT_EQ(element_hidden(dom, id), whole) << fragment << " " << id;
            if (!whole) {
                EXPECT_NE(element_text(dom, id).find("'" + text + "' is not wholly a number"), std::string::npos)
                    << fragment << ": " << element_text(dom, id);
            }
        }
        Loaded cut_body(in);
        Analyse_teleso(cut_body.rec);
        Cut_teleso(cut_body.rec, Get_center(cut_body.rec), Cut_length(c[0].second.c_str()),
                   Cut_length(c[1].second.c_str()), Cut_length(c[2].second.c_str()));
        expect_page_figures(dom, "after", library_figures(cut_body.rec), fragment);
    }
}

// A plane through a point in the address: the page cuts exactly the voxels of cut --normal
// (the library's cut_through) and shows that command.
TEST(ViewerPage, APlaneThroughAPointCutsAsCutNormalDoes) {
    ScratchDir dir;
    const std::string in = dir.file("grain.3d"), html = dir.file("grain.html");
    expect_done(tools({"make", "grain", "30", in, "--seed", "6", "--pores", "30"}));
    expect_done(tools({"view", in, html}));
    struct Case {
        std::string fragment;
        std::vector<std::string> options;  // of tarvo-tools cut
    };
    const std::vector<Case> cases = {
        {"normal=2,-1,0.5&through=14.5,16,13&keep=+", {"--normal", "2", "-1", "0.5", "--through", "14.5", "16", "13", "--keep", "+"}},
        {"normal=1,1,0", {"--normal", "1", "1", "0"}},
        {"normal=0,0,1e-300&through=0,0,1.5e1", {"--normal", "0", "0", "1e-300", "--through", "0", "0", "1.5e1"}},
    };
    for (const Case& c : cases) {
        const std::string out = dir.file("grain-cut.3d");
        std::vector<std::string> args = {"cut", in, out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        expect_done(tools(args));
        Loaded cut_body(out);
        const std::string dom = page_dom(url_of(html, c.fragment));
        expect_page_figures(dom, "after", library_figures(cut_body.rec), c.fragment);
        std::string command = "tarvo-tools cut " + in + " " + out;
        for (const std::string& o : c.options) command += " " + o;
        EXPECT_EQ(element_text(dom, "command"), command) << c.fragment;
    }
}

TEST(ViewerPage, AReducedPageSaysSoAndShowsTheFilesOwnFigures) {
    ScratchDir dir;
    const std::string in = dir.file("sphere.3d"), html = dir.file("sphere.html");
    expect_done(tools({"make", "sphere", "90", in}));
    expect_done(tools({"view", in, html, "--max-edge", "40"}));
    const std::string dom = page_dom(url_of(html));
    EXPECT_FALSE(element_hidden(dom, "reduced"));
    EXPECT_NE(element_text(dom, "reduced").find("edge 90 became 30; each block of 3×3×3"), std::string::npos)
        << element_text(dom, "reduced");
    Loaded original(in);
    expect_page_figures(dom, "file", library_figures(original.rec), "file");
    EXPECT_FALSE(element_hidden(dom, "file-figures"));
}

// ---- pictures ----

struct Census {
    long material = 0;  // warm pixels: the particle's own surface
    long cut = 0;       // cool pixels: the cut face
    double cut_x = 0, cut_y = 0;  // mean position of the cut pixels
    int darkest = 255, brightest = 0;  // red channel over the material pixels
};

Census census(const tarvo::tools::Image& image) {
    Census c;
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < kViewWidth && x < image.width; ++x) {
            const tarvo::tools::Rgb p = image.at(x, y);
            if (p.r > p.b + 25) {
                ++c.material;
                c.darkest = std::min<int>(c.darkest, p.r);
                c.brightest = std::max<int>(c.brightest, p.r);
            } else if (p.b > p.r + 25 && p.b > p.g) {
                ++c.cut;
                c.cut_x += x;
                c.cut_y += y;
            }
        }
    if (c.cut) {
        c.cut_x /= c.cut;
        c.cut_y /= c.cut;
    }
    return c;
}

TEST(ViewerPicture, TheParticleIsDrawnShadedAndTheCutFaceInItsColourWhereItFacesTheViewer) {
    ScratchDir dir;
    const std::string in = dir.file("sphere.3d"), html = dir.file("sphere.html");
    expect_done(tools({"make", "sphere", "64", in}));
    expect_done(tools({"view", in, html}));
    const long area = long{kViewWidth} * kWindowHeight;

    const Census whole = census(screenshot(url_of(html), dir.file("whole.png")));
    EXPECT_GT(whole.material, area / 10);
    EXPECT_GT(whole.brightest - whole.darkest, 60) << "one flat colour, no shading";
    EXPECT_EQ(whole.cut, 0);

    // 1 1 99999 halves the sphere by a plane facing the iso view: its face is in the middle.
    const Census cut = census(screenshot(url_of(html, "cut=1,1,99999&view=45,35.26,1"), dir.file("cut.png")));
    EXPECT_GT(cut.cut, area / 20);
    EXPECT_GT(cut.material, area / 50);
    EXPECT_NEAR(cut.cut_x, kViewWidth / 2.0, kViewWidth * 0.1);
    EXPECT_NEAR(cut.cut_y, kWindowHeight / 2.0, kWindowHeight * 0.1);

    // Cut on the - side, the face is turned away from the iso view and shows from the opposite corner;
    // without a view in the link the page looks at the face from the side the cut removed.
    const Census away = census(screenshot(url_of(html, "cut=-1,-1,99999&view=45,35.26,1"), dir.file("away.png")));
    EXPECT_LT(away.cut, area / 1000);
    const Census behind = census(screenshot(url_of(html, "cut=-1,-1,99999&view=225,35.26,1"), dir.file("behind.png")));
    EXPECT_GT(behind.cut, area / 20);
    const Census facing = census(screenshot(url_of(html, "cut=-1,-1,99999"), dir.file("facing.png")));
    EXPECT_GT(facing.cut, area / 20);
    EXPECT_NEAR(facing.cut_x, kViewWidth / 2.0, kViewWidth * 0.1);
}

// The largest grid becomes a small page that is drawn; its opening time is printed for the record
// (speed is the benchmark's business, not a test's).
TEST(ViewerPicture, TheReducedPageOfTheLargestSphereIsSmallAndDrawn) {
    ScratchDir dir;
    const std::string in = dir.file("sphere.3d"), html = dir.file("sphere.html");
    expect_done(tools({"make", "sphere", "1290", in}));
    expect_done(tools({"view", in, html}));
    EXPECT_LT(test_support::read_bytes(html).size(), 2u << 20);

    const std::string dom = page_dom(url_of(html, "cut=300,400,99999"));
    EXPECT_NE(element_text(dom, "reduced").find("edge 1290 became 215"), std::string::npos);
    // The page's own time from its script's start to the first picture drawn.
    ASSERT_FALSE(integers(element_text(dom, "status")).empty()) << element_text(dom, "status");

    const auto start = std::chrono::steady_clock::now();
    const Census c = census(screenshot(url_of(html, "cut=300,400,99999"), dir.file("sphere.png")));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(c.material, long{kViewWidth} * kWindowHeight / 20);
    EXPECT_GT(c.cut, long{kViewWidth} * kWindowHeight / 20);
    std::printf("edge-1290 sphere: page %s; screenshot run %.2f s\n", element_text(dom, "status").c_str(), seconds);
}

TEST(ViewerPage, WithoutWebGL2ThePageSaysSoAndStillCuts) {
    ScratchDir dir;
    const std::string in = dir.file("grain.3d"), html = dir.file("grain.html");
    expect_done(tools({"make", "grain", "24", in}));
    expect_done(tools({"view", in, html}));
    const std::string dom = page_dom(url_of(html, "cut=1,1,99999"), {"--disable-webgl"});
    EXPECT_FALSE(element_hidden(dom, "nogl"));
    EXPECT_NE(element_text(dom, "nogl").find("no WebGL2"), std::string::npos);
    EXPECT_FALSE(integers(element_text(dom, "after-count")).empty());
    EXPECT_TRUE(element_hidden(page_dom(url_of(html)), "nogl"));
}

// ---- the command, and the address after loading ----

// Whether a backslash stands inside single quotes anywhere in a command: there fish reads a
// backslash before a quote or a backslash as an escape, the POSIX shells do not, so the same text
// would name other files.
bool backslash_in_single_quotes(const std::string& command) {
    bool single = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (single) {
            if (c == '\\') return true;
            if (c == '\'') single = false;
        } else if (c == '\\') {
            ++i;
        } else if (c == '\'') {
            single = true;
        }
    }
    return false;
}

std::vector<std::string> split_at_nul(const test_support::Bytes& bytes) {
    std::vector<std::string> out;
    std::string cur;
    for (const std::uint8_t b : bytes) {
        if (b == 0) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += static_cast<char>(b);
        }
    }
    return out;
}

// The command the page shows, pasted into each of sh, dash, bash, zsh and fish that is installed,
// names exactly the file and its output: hostile names run nothing, and names that are no UTF-8
// keep their bytes.
TEST(ViewerPage, TheCommandNamesTheFileInEveryShell) {
    ScratchDir dir;
    namespace fs = std::filesystem;
    fs::create_directory(dir.path() / "bin");
    {
        // A stand-in for tarvo that writes its arguments, each ended by a NUL.
        const std::string stub = dir.file("bin/tarvo");
        test_support::write_bytes(stub, test_support::Bytes{});
        std::FILE* f = std::fopen(stub.c_str(), "w");
        std::fputs("#!/bin/sh\nfor a; do printf '%s\\0' \"$a\"; done > args\n", f);
        std::fclose(f);
        chmod(stub.c_str(), 0755);
    }
    expect_done(tools({"make", "grain", "12", dir.file("g.3d")}));
    const std::vector<std::string> names = {
        "a\\';touch PWNED;#.3d", "b'$(touch PWNED)'.3d", "c\\\\'x'\\.3d", "d\"$(touch PWNED)\"`touch PWNED`.3d",
        "e\xff\xfe.3d",          "f%s\\377 \xc3(%%.3d",  "=g.3d",         "h\nnew line.3d",
        "~i{a,b}*.3d",           "%j.3d",                "\xc3\xa9t\xc3\xa9.3d"};
    std::vector<std::string> shells;
    for (const char* sh : {"/bin/sh", "/bin/dash", "/bin/bash", "/usr/bin/zsh", "/bin/zsh", "/usr/bin/fish"})
        if (fs::exists(sh) && (shells.empty() || fs::canonical(sh) != fs::canonical(shells.back()))) shells.push_back(sh);
    std::printf("shells: %zu\n", shells.size());
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string& name = names[k];
        SCOPED_TRACE(name);
        fs::copy_file(dir.file("g.3d"), dir.file(name));
        const std::string html = dir.file(std::to_string(k) + ".html");
        expect_done(test_support::run_program(TOOLS_EXE, {"view", name, html}, dir.path().string()));
        const std::string command = element_text(page_dom(url_of(html, "cut=1,1,99999")), "command");
        EXPECT_FALSE(backslash_in_single_quotes(command)) << command;
        const std::string output = name.substr(0, name.size() - 3) + "-cut.3d";
        for (const std::string& sh : shells) {
            SCOPED_TRACE(sh + ": " + command);
            fs::remove(dir.file("args"));
            test_support::run_program(sh, {"-c", command}, dir.path().string(), "PATH=\"$PWD/bin:$PATH\"");
            EXPECT_FALSE(fs::exists(dir.file("PWNED")));
            fs::remove(dir.file("PWNED"));
            ASSERT_TRUE(fs::exists(dir.file("args")));
            EXPECT_EQ(split_at_nul(test_support::read_bytes(dir.file("args"))),
                      (std::vector<std::string>{name, output, "1", "1", "99999"}));
        }
    }
}

// A layer asked for through the address after the page has loaded is held to the grid, as one in
// the address it was opened with.
TEST(ViewerPage, ALayerChangedThroughTheAddressAfterLoadingIsClamped) {
    ScratchDir dir;
    const std::string in = dir.file("grain.3d"), html = dir.file("grain.html");
    expect_done(tools({"make", "grain", "24", in}));
    expect_done(tools({"view", in, html}));
    const test_support::Bytes page = test_support::read_bytes(html);
    std::string text(page.begin(), page.end());
    const std::size_t end = text.rfind("</body>");
    ASSERT_NE(end, std::string::npos);
    // The address changes after the load event; once the page has taken it, the axis buttons show
    // the layer held (headless, the page's animation frames do not run).
    text.insert(end, "<script>addEventListener('load', () => setTimeout(() => {"
                     " location.hash = 'cut=1,1,99999&slice=z:9999';"
                     " setTimeout(() => document.querySelector('input[name=slice-axis][value=z]')"
                     ".dispatchEvent(new Event('change')), 10); }, 10));</script>\n");
    const std::string changed = dir.file("changed.html");
    test_support::write_bytes(changed, test_support::Bytes(text.begin(), text.end()));
    const std::string dom = page_dom(url_of(changed, "cut=1,1,99999&slice=x:3"), {"--virtual-time-budget=3000"});
    EXPECT_EQ(element_text(dom, "slice-label"), "z = 23");
    EXPECT_EQ(element_text(page_dom(url_of(html, "slice=z:9999")), "slice-label"), "z = 23");
}

// The page with a script that runs once it has loaded (headless, the animation frames do not run).
std::string page_with_script(const ScratchDir& dir, const std::string& html, const std::string& script) {
    const test_support::Bytes page = test_support::read_bytes(html);
    std::string text(page.begin(), page.end());
    const std::size_t end = text.rfind("</body>");
    EXPECT_NE(end, std::string::npos);
    text.insert(end, "<script>addEventListener('load', () => setTimeout(() => {" + script + "}, 10));</script>\n");
    const std::string changed = dir.file("typed.html");
    test_support::write_bytes(changed, test_support::Bytes(text.begin(), text.end()));
    return changed;
}

// Types the plane into the panel's fields and asks for the cut.
std::string typing(const std::vector<std::string>& normal, const std::vector<std::string>& through, char keep) {
    std::string s;
    for (int k = 0; k < 3; ++k) {
        s += "document.getElementById('normal-" + std::string(1, "xyz"[k]) + "').value = '" + normal[k] + "';";
        s += "document.getElementById('through-" + std::string(1, "xyz"[k]) + "').value = '" +
             (through.empty() ? "" : through[k]) + "';";
    }
    return s + "document.getElementById('keep').value = '" + keep + "';"
               "document.getElementById('plane-cut').click();";
}

TEST(ViewerPage, ThePanelsPlaneFieldsCutAsCutNormalDoes) {
    ScratchDir dir;
    const std::string in = dir.file("grain.3d"), html = dir.file("grain.html"), out = dir.file("grain-cut.3d");
    expect_done(tools({"make", "grain", "30", in, "--seed", "6", "--pores", "30"}));
    expect_done(tools({"view", in, html}));
    // Typed in the fields, from a page that opened on the three lengths.
    const std::string typed = page_with_script(dir, html, typing({"2", "-1", "0.5"}, {"14.5", "16", "13"}, '+'));
    std::string dom = page_dom(url_of(typed, "cut=1,1,99999"), {"--virtual-time-budget=3000"});
    expect_done(tools({"cut", in, out, "--normal", "2", "-1", "0.5", "--through", "14.5", "16", "13", "--keep", "+"}));
    expect_page_figures(dom, "after", library_figures(Loaded(out).rec), "typed plane");
    EXPECT_EQ(element_text(dom, "command"),
              "tarvo-tools cut " + in + " " + out + " --normal 2 -1 0.5 --through 14.5 16 13 --keep +");
    EXPECT_TRUE(element_hidden(dom, "plane-warn"));
    // No point: the centre. A normal that is no decimal, or half a point: a warning, the cut kept.
    dom = page_dom(url_of(page_with_script(dir, html, typing({"0", "1", "-3"}, {}, '-')), "cut=1,1,99999"),
                   {"--virtual-time-budget=3000"});
    expect_done(tools({"cut", in, out, "--normal", "0", "1", "-3"}));
    expect_page_figures(dom, "after", library_figures(Loaded(out).rec), "plane through the centre");
    for (const auto& [normal, through] : {std::pair<std::vector<std::string>, std::vector<std::string>>{{"1,5", "0", "0"}, {}},
                                          {{"1", "0", "0"}, {"3", "", ""}}}) {
        dom = page_dom(url_of(page_with_script(dir, html, typing(normal, through, '-')), "cut=1,1,99999"),
                       {"--virtual-time-budget=3000"});
        EXPECT_FALSE(element_hidden(dom, "plane-warn")) << normal[0];
        EXPECT_NE(element_text(dom, "plane-warn"), "") << normal[0];
        EXPECT_EQ(element_text(dom, "command"), "tarvo " + in + " " + out + " 1 1 99999") << normal[0];
    }
    // A plane from the address fills the fields, and the lengths, not in force, stand empty; typing
    // a length leaves the plane and brings the other lengths back.
    const std::string fields =
        "document.body.dataset.fields = ['normal-x', 'normal-y', 'normal-z', 'through-x', 'through-y', 'through-z',"
        " 'keep', 'len-x', 'len-y', 'len-z'].map((id) => document.getElementById(id).value).join(' ');";
    dom = page_dom(url_of(page_with_script(dir, html, fields), "normal=2,-1,0.5&through=14.5,16,13&keep=+"),
                   {"--virtual-time-budget=3000"});
    EXPECT_NE(dom.find("data-fields=\"2 -1 0.5 14.5 16 13 +   \""), std::string::npos);
    dom = page_dom(url_of(page_with_script(dir, html, fields), "normal=2,-1,0.5&through=14.5,16,13&keep=%2B"),
                   {"--virtual-time-budget=3000"});  // the + as an address may carry it
    EXPECT_NE(dom.find("data-fields=\"2 -1 0.5 14.5 16 13 +   \""), std::string::npos);
    const std::string retyped = page_with_script(
        dir, html,
        "const x = document.getElementById('len-x'); x.value = '7'; x.dispatchEvent(new Event('input'));" + fields);
    dom = page_dom(url_of(retyped, "cut=1,2,3&normal=2,-1,0.5"), {"--virtual-time-budget=3000"});
    EXPECT_NE(dom.find(" 7 2 3\""), std::string::npos);
}

}  // namespace

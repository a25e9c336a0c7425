// The tools' shared code: PNG input that is refused before memory is spent,
// conversions that keep every colour and alpha or refuse, output that never
// loses what was at the path, and progress that fits the terminal.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "png_builder.h"
#include "streams/image_io.h"
#include "tools/common/image_convert.h"
#include "tools/common/messages.h"
#include "tools/common/png_io.h"
#include "tools/common/progress_bar.h"
#include "tools/common/safe_output.h"

namespace qvr::test {
namespace {

namespace fs = std::filesystem;

// A fresh folder per test, removed afterwards.
class Scratch {
public:
    Scratch() {
        path_ = fs::path(::testing::TempDir()) / ("qvr_tools_" + std::to_string(getpid()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~Scratch() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    // Names in the folder, to see that no temporary file was left behind.
    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(path_)) found.insert(entry.path().filename().string());
        return found;
    }

private:
    fs::path path_;
};

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string readPngFile(const std::string& path, const std::vector<uint8_t>& bytes, PngImage& png) {
    EXPECT_TRUE(writeBytes(path, bytes));
    return readPng(path, png);
}

// An RGB image whose pixels take `colours` distinct colours, none of them
// white, plus white pixels when `white`.
RasterImage imageWithColours(int32_t colours, bool white) {
    RasterImage image;
    image.allocate(64, 8, 24);
    for (size_t p = 0; p < 512; ++p) {
        const int32_t c = static_cast<int32_t>(p) % (colours + (white ? 1 : 0));
        const bool isWhite = c == colours;
        image.rgb[3 * p] = isWhite ? 255 : static_cast<uint8_t>(c);
        image.rgb[3 * p + 1] = isWhite ? 255 : static_cast<uint8_t>(c / 2);
        image.rgb[3 * p + 2] = isWhite ? 255 : 7;
    }
    return image;
}

// The colour every pixel shows once the image is written and read back.
std::vector<uint32_t> coloursAfterRoundTrip(const RasterImage& image) {
    MemoryStream out;
    EXPECT_EQ(saveQvr(out, image), "");
    MemoryStream in(out.bytes());
    RasterImage back;
    EXPECT_EQ(loadQvr(in, back), "");
    std::vector<uint32_t> colours;
    for (size_t p = 0; p < back.indices.size(); ++p) {
        const size_t at = 3 * static_cast<size_t>(back.indices[p]);
        colours.push_back(
            static_cast<uint32_t>(back.palette[at] << 16 | back.palette[at + 1] << 8 | back.palette[at + 2]));
    }
    return colours;
}

std::vector<uint32_t> coloursOf(const RasterImage& rgb) {
    std::vector<uint32_t> colours;
    for (size_t p = 0; 3 * p < rgb.rgb.size(); ++p)
        colours.push_back(static_cast<uint32_t>(rgb.rgb[3 * p] << 16 | rgb.rgb[3 * p + 1] << 8 | rgb.rgb[3 * p + 2]));
    return colours;
}

// ---- bombs ----

TEST(PngBombs, SizesAQvrFileCannotHoldAreRefusedFromTheHeader) {
    Scratch dir;
    for (auto [w, h] : {std::pair{32767u, 32767u}, std::pair{1u, 5u}, std::pair{8192u, 2u}, std::pair{20u, 8192u},
                        std::pair{100000u, 100000u}}) {
        PngImage png;
        const std::string problem = readPngFile(dir / "bomb.png", headerOnlyPng(w, h), png);
        EXPECT_NE(problem.find("the image is " + std::to_string(w) + " x " + std::to_string(h)), std::string::npos)
            << problem;
        EXPECT_NE(problem.find("2 to 8191 columns and 1 to 8191 rows"), std::string::npos) << problem;
        EXPECT_TRUE(png.image.rgb.empty());  // nothing was allocated for the pixels
    }
    PngImage edge;
    EXPECT_EQ(readPngFile(dir / "edge.png", rgbPng(8191, 1), edge), "");
    EXPECT_EQ(edge.image.width, 8191);
}

TEST(PngBombs, ReadingReportsProgressRowByRow) {
    Scratch dir;
    std::vector<std::pair<int32_t, int32_t>> reports;
    ASSERT_TRUE(writeBytes(dir / "rows.png", rgbPng(40, 30)));
    PngImage png;
    const PngProgress record = [](void* context, int32_t done, int32_t total) {
        static_cast<std::vector<std::pair<int32_t, int32_t>>*>(context)->emplace_back(done, total);
    };
    ASSERT_EQ(readPng(dir / "rows.png", png, record, &reports), "");
    ASSERT_EQ(reports.size(), 30u);
    EXPECT_EQ(reports.front(), (std::pair<int32_t, int32_t>{1, 30}));
    EXPECT_EQ(reports.back(), (std::pair<int32_t, int32_t>{30, 30}));
}

// ---- fidelity ----

TEST(Fidelity, PaletteWithTransparencyKeepsItsAlpha) {
    Scratch dir;
    PngImage png;
    ASSERT_EQ(readPngFile(dir / "trns.png", transparentPalettePng(), png), "");
    EXPECT_EQ(png.kind, PngKind::PaletteWithAlpha);
    for (int32_t depth : {0, 32}) {
        RasterImage image;
        ASSERT_EQ(pngAtDepth(png, depth, image), "");
        ASSERT_EQ(image.depth, 32);
        MemoryStream out;
        ASSERT_EQ(saveQvr(out, image), "");
        MemoryStream in(out.bytes());
        RasterImage back;
        ASSERT_EQ(loadQvr(in, back), "");
        for (size_t p = 0; p < 32; ++p) {
            const uint8_t want[4] = {246, 0, 128, 246};  // 255 reads back as 246
            EXPECT_EQ(back.alpha[p], want[p % 4]) << p;
        }
    }
    RasterImage indexed;
    EXPECT_NE(pngAtDepth(png, 8, indexed).find("transparent entries"), std::string::npos);
}

TEST(Fidelity, OpaquePaletteWithTransparencyChunkStaysIndexed) {
    Scratch dir;
    PngImage png;
    const auto bytes = palettePng(4, 2, {0, 1, 0, 1, 1, 0, 1, 0}, {{0, 0, 0}, {9, 8, 7}}, {255, 255});
    ASSERT_EQ(readPngFile(dir / "opaque.png", bytes, png), "");
    EXPECT_EQ(png.kind, PngKind::Palette);
    RasterImage image;
    ASSERT_EQ(pngAtDepth(png, 8, image), "");
    EXPECT_EQ(image.depth, 8);
}

TEST(Fidelity, DepthEightHoldsAtMost254ColoursBesidesWhite) {
    for (bool white : {false, true}) {
        RasterImage fits;
        ASSERT_EQ(imageAtDepth(imageWithColours(254, white), 8, fits), "") << white;
        EXPECT_EQ(coloursAfterRoundTrip(fits), coloursOf(imageWithColours(254, white))) << white;
        for (int32_t colours : {255, 256}) {
            RasterImage refused;
            const std::string problem = imageAtDepth(imageWithColours(colours, white), 8, refused);
            EXPECT_NE(problem.find("at most 254 colours besides white"), std::string::npos) << problem;
        }
    }
}

TEST(Fidelity, IndexedImagesKeepTheirColoursOrAreRenumbered) {
    RasterImage indexed;
    indexed.allocate(4, 2, 8);
    for (int i = 0; i < 256; ++i) indexed.palette[3 * static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    indexed.indices = {0, 1, 2, 3, 4, 5, 6, 7};
    RasterImage kept;
    ASSERT_EQ(imageAtDepth(indexed, 0, kept), "");
    EXPECT_EQ(kept.indices, indexed.indices);  // nothing to change: the indices stay

    indexed.indices = {0, 255, 246, 3, 255, 246, 0, 1};  // 255 and a coloured 246 would turn white
    RasterImage renumbered;
    ASSERT_EQ(imageAtDepth(indexed, 0, renumbered), "");
    EXPECT_EQ(coloursAfterRoundTrip(renumbered), coloursOf(expandToRgb(indexed, 24)));

    RasterImage full;  // 256 distinct colours in use: no 8 bpp file shows them all
    full.allocate(16, 16, 8);
    for (int i = 0; i < 256; ++i) {
        full.indices[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
        full.palette[3 * static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    }
    RasterImage refused;
    EXPECT_NE(imageAtDepth(full, 8, refused).find("at most 254 colours besides white"), std::string::npos);
    RasterImage widened;
    EXPECT_EQ(imageAtDepth(full, 24, widened), "");
}

// Without a depth asked for, the kind follows what the image needs: an
// indexed image that no 8 bpp file holds becomes RGB with a note, and alpha
// goes out only where some pixel is not opaque.
TEST(Fidelity, TheDefaultDepthFollowsWhatTheImageNeeds) {
    Scratch dir;
    PngImage full, opaque;
    ASSERT_EQ(readPngFile(dir / "full.png", fullPalettePng(), full), "");
    spng_ihdr ihdr{};
    ihdr.width = 4;
    ihdr.height = 2;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    ASSERT_EQ(readPngFile(dir / "opaque.png", encodePng(ihdr, std::vector<uint8_t>(32, 255)), opaque), "");
    RasterImage translucent = opaque.image;
    translucent.alpha[6] = 254;
    const struct {
        const char* name;
        RasterImage source;
        int32_t depth;
        int32_t want;  // 0: refused
        bool noted;
    } cases[] = {
        {"256 colours", full.image, 0, 24, true},        {"256 colours at 8", full.image, 8, 0, false},
        {"opaque RGBA", opaque.image, 0, 24, false},     {"opaque RGBA at 32", opaque.image, 32, 32, false},
        {"translucent RGBA", translucent, 0, 32, false},
    };
    for (const auto& c : cases) {
        RasterImage out;
        std::string note;
        const std::string problem = imageAtDepth(c.source, c.depth, out, &note);
        EXPECT_EQ(problem.empty(), c.want != 0) << c.name << ": " << problem;
        if (c.want != 0) {
            EXPECT_EQ(out.depth, c.want) << c.name;
        }
        EXPECT_EQ(note.find("stored as 16 bpp RGB") != std::string::npos, c.noted) << c.name << ": " << note;
    }
}

TEST(Fidelity, AGammaOrProfileQvrCannotKeepIsNoted) {
    Scratch dir;
    spng_ihdr ihdr{};
    ihdr.width = 2;
    ihdr.height = 2;
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    const std::vector<uint8_t> pixels(12, 80);
    const struct {
        uint32_t gamma;
        bool srgb;
        bool noted;
    } cases[] = {{0, false, false}, {45455, false, false}, {100000, false, true}, {100000, true, false}};
    for (const auto& c : cases) {
        PngImage png;
        ASSERT_EQ(readPngFile(dir / "g.png", encodePng(ihdr, pixels, nullptr, nullptr, c.gamma, c.srgb), png), "");
        EXPECT_EQ(png.note.find("gamma 1.0") != std::string::npos, c.noted) << c.gamma << " " << png.note;
    }
}

TEST(Fidelity, TransparentPixelsAreRefusedAtDepthEight) {
    RasterImage rgba;
    rgba.allocate(4, 4, 32);
    std::fill(rgba.alpha.begin(), rgba.alpha.end(), uint8_t{255});
    RasterImage out;
    EXPECT_EQ(imageAtDepth(rgba, 8, out), "");
    rgba.alpha[5] = 17;
    EXPECT_NE(imageAtDepth(rgba, 8, out).find("transparent pixels"), std::string::npos);
}

// ---- output-path safety ----

TEST(SafeOutput, ReplacesOnlyOnceCompleteAndKeepsTheModeOrTheOldFile) {
    Scratch dir;
    const std::string target = dir / "out.qvr";
    put(target, "old");
    ::chmod(target.c_str(), 0640);
    {
        SafeOutput output;
        ASSERT_EQ(output.open(target), "");
        ASSERT_EQ(output.write("new", 3), "");
        EXPECT_EQ(contents(target), "old");  // untouched until the commit
        EXPECT_EQ(dir.names().size(), 2u);   // the target and one temporary file
    }                                        // abandoned
    EXPECT_EQ(contents(target), "old");
    EXPECT_EQ(dir.names(), std::set<std::string>{"out.qvr"});
    ASSERT_EQ(writeFileSafely(target, "new", 3), "");
    EXPECT_EQ(contents(target), "new");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(dir.names(), std::set<std::string>{"out.qvr"});
}

TEST(SafeOutput, FollowsLinksAndWritesDevicesInPlace) {
    Scratch dir;
    put(dir / "real.png", "old");
    fs::create_symlink("real.png", dir / "link.png");
    ASSERT_EQ(writeFileSafely(dir / "link.png", "new", 3), "");
    EXPECT_TRUE(fs::is_symlink(dir / "link.png"));
    EXPECT_EQ(contents(dir / "real.png"), "new");

    fs::create_symlink("/dev/null", dir / "null");
    EXPECT_EQ(writeFileSafely(dir / "null", "x", 1), "");
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    fs::create_symlink("/dev/full", dir / "full");
    EXPECT_EQ(writeFileSafely(dir / "full", "x", 1), "No space left on device");
    EXPECT_TRUE(fs::is_symlink(dir / "full"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

TEST(SafeOutput, RefusesWithTheSystemsReasonBeforeTouchingAnything) {
    Scratch dir;
    EXPECT_EQ(writeFileSafely(dir / "missing/x.qvr", "x", 1), "No such file or directory");
    EXPECT_EQ(writeFileSafely(dir / "", "x", 1), "Is a directory");
    put(dir / "file", "kept");
    EXPECT_EQ(writeFileSafely(dir / "file/x.qvr", "x", 1), "Not a directory");
    EXPECT_EQ(contents(dir / "file"), "kept");
    if (::geteuid() != 0) {  // permissions do not stop root
        put(dir / "locked", "kept");
        ::chmod((dir / "locked").c_str(), 0444);
        EXPECT_EQ(writeFileSafely(dir / "locked", "x", 1), "Permission denied");
        EXPECT_EQ(contents(dir / "locked"), "kept");
    }
}

TEST(SafeOutput, AWriteThatFailsLeavesTheOldFileAndNoTemporary) {
    Scratch dir;
    const std::string target = dir / "big.png";
    put(target, "the old, good file");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;  // a disk that fills up after 4 KiB
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string big(10000, 'x');
    const std::string problem = writeFileSafely(target, big.data(), big.size());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(problem, "File too large");
    EXPECT_EQ(contents(target), "the old, good file");
    EXPECT_EQ(dir.names(), std::set<std::string>{"big.png"});
}

// ---- messages ----

TEST(Messages, OneLineNamingInputStepAndReason) {
    EXPECT_EQ(failureLine("qvr", "a.png", "reading", "No such file or directory"),
              "qvr: a.png: reading: No such file or directory\n");
    Scratch dir;
    EXPECT_EQ(inputProblem(dir / "nothing.png"), "No such file or directory");
    EXPECT_EQ(inputProblem(dir / ""), "Is a directory");
}

// The percentages a bar drew, in order, from what it wrote to stderr.
std::vector<int> drawnPercents(const std::string& drawn) {
    std::vector<int> percents;
    for (size_t at = drawn.find('%'); at != std::string::npos; at = drawn.find('%', at + 1))
        percents.push_back(std::atoi(drawn.substr(at - 3, 3).c_str()));
    return percents;
}

// Reading a PNG, then encoding a colour and an alpha plane, as the converter
// does for one file and for each file of a batch: never a step back.
TEST(Messages, ProgressOnlyMovesForward) {
    for (bool batch : {false, true}) {
        ::testing::internal::CaptureStderr();
        {
            BatchProgress files(2, batch);
            ProgressBar single("a.png", 1, true);
            ProgressBar inBatch(&files, 0, 1);
            ProgressBar& bar = batch ? inBatch : single;
            bar.expectPasses(2);
            for (int32_t row = 1; row <= 40; ++row) ProgressBar::report(&bar, row, 40);
            bar.expectPasses(3);  // an alpha plane after all
            for (int pass = 0; pass < 2; ++pass)
                for (int32_t row = 1; row <= 40; ++row) ProgressBar::report(&bar, row, 40);
            files.fileFinished(0);
            files.fileFinished(1);
        }
        const std::vector<int> percents = drawnPercents(::testing::internal::GetCapturedStderr());
        ASSERT_FALSE(percents.empty()) << batch;
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()))
            << batch << " " << ::testing::PrintToString(percents);
        EXPECT_EQ(percents.back(), 100) << batch;
    }
}

TEST(Messages, TheProgressLineFitsTheTerminal) {
    const std::string longLabel =
        "/a/very/long/folder/name/that/goes/on/and/on/" + std::string(200, 'x') + "/photo.png";
    for (int columns : {10, 40, 80, 200}) {
        const std::string line = progressLine(0.5, longLabel, columns);
        EXPECT_LE(static_cast<int>(line.size()), columns - 1) << columns;
        EXPECT_EQ(line.find('\n'), std::string::npos);
    }
    EXPECT_NE(progressLine(0.5, longLabel, 80).find("photo.png"), std::string::npos);  // the name's end stays
    EXPECT_NE(progressLine(0.25, "a.png", 80).find(" 25% a.png"), std::string::npos);
}

}  // namespace
}  // namespace qvr::test

// Damaged files, through the codec and through the entry point: every prefix
// and single-byte corruptions of each sample, and headers at the size limits
// over almost no data. Nothing may crash or touch memory outside its buffers
// (the sanitizer run checks that), a file cut short must fail, and no row
// reaches the host after the first failure.
#include <cstring>

#include "plugin_test_support.h"
#include "streams/image_io.h"
#include "test_support.h"

namespace qvr::test {
namespace {

using qvrhost::TestHost;

const char* const SAMPLES[] = {"sunset-indexed.qvr", "tiles-rgb.qvr", "badge-rgba.qvr"};

// The plane a transfer went to, and the row of the document it filled.
int32_t planeOf(const qvrhost::Transfer& t) { return t.loPlane; }

// Every row the host was handed must be a row of the intact image.
void expectOnlyIntactRows(TestHost& host, qvrhost::Document& intact, const std::string& what) {
    qvrhost::Document& got = host.document();
    for (const qvrhost::Transfer& t : host.transfers) {
        const int32_t y = t.rect.top;
        for (int32_t p = planeOf(t); p <= t.hiPlane; ++p)
            for (int32_t x = 0; x < got.width; ++x)
                if (got.at(p, x, y) != intact.at(p, x, y)) {
                    ADD_FAILURE() << what << ": row " << y << " of plane " << p << " differs";
                    return;
                }
    }
}

TEST(Robustness, EveryPrefixOfEachSampleFails) {
    for (const char* name : SAMPLES) {
        const Bytes file = readFile(samplePath(name));
        TestHost reference(moduleEntry());
        ASSERT_EQ(reference.open(samplePath(name)), noErr);
        for (size_t length = 0; length < file.size(); ++length) {
            const Bytes prefix(file.begin(), file.begin() + static_cast<long>(length));
            const std::string what = std::string(name) + " cut to " + std::to_string(length);
            RasterImage image;
            EXPECT_NE(decodeBytes(prefix, image), "") << what;

            // The entry point reads one byte per system call, so it sees the
            // prefixes that end in the header, palette and first rows, those that
            // end near the end of the data, and every eleventh in between.
            const bool nearEnd = length + 64 >= file.size();
            if (length >= 1024 && !nearEnd && length % 11 != 0) continue;
            MemoryFile cut(prefix);
            TestHost host(moduleEntry());
            EXPECT_NE(host.open(cut.path()), noErr) << what;
            expectOnlyIntactRows(host, reference.document(), what);
        }
    }
}

TEST(Robustness, SingleByteCorruptions) {
    for (const char* name : SAMPLES) {
        const Bytes file = readFile(samplePath(name));
        for (size_t at = 0; at < file.size(); at += 3) {
            for (uint8_t flip : {uint8_t{0xFF}, uint8_t{0x04}}) {
                Bytes damaged = file;
                damaged[at] ^= flip;
                RasterImage image;
                decodeBytes(damaged, image);  // any outcome but a crash
                if (at % 27 != 0) continue;   // the entry point sees every 27th position
                MemoryFile copy(damaged);
                TestHost host(moduleEntry());
                host.open(copy.path());
                int32_t expectedTop = 0, planes = -1;
                for (const qvrhost::Transfer& t : host.transfers) {
                    if (t.planes != planes) expectedTop = 0, planes = t.planes;
                    ASSERT_EQ(t.rect.top, expectedTop++) << name << " at " << at;
                    ASSERT_EQ(t.rect.bottom, t.rect.top + 1);
                }
            }
        }
    }
}

TEST(Robustness, LargestHeadersOverAFewBytesFinish) {
    for (int32_t bits : {8, 16}) {
        Bytes file = headerBytes(makeHeader(bits, 8191, 8191, bits == 8 ? 816 : 48, bits == 8 ? 48 : 0));
        if (bits == 8) file.resize(816, 0);
        file.insert(file.end(), {0xFD, 0x20, 0x01, 0x05});
        RasterImage image;
        EXPECT_NE(decodeBytes(file, image), "");

        MemoryFile copy(file);
        TestHost host(moduleEntry());
        EXPECT_EQ(host.open(copy.path()), eofErr);
        EXPECT_LE(host.transfers.size(), 1u);
        EXPECT_EQ(host.progress.size(), 8191u);  // the pass runs to its end without the file
    }
}

}  // namespace
}  // namespace qvr::test

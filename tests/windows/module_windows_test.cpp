// qvr.8bi as Windows sees it: its resources read back through the system's
// resource loader, and its message boxes caught as they open.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "streams/image_io.h"
#include "tests/host/document_convert.h"
#include "tests/host/module_loader.h"
#include "tests/host/test_host.h"

namespace {

using Bytes = std::vector<uint8_t>;

HMODULE theModule() {
    static HMODULE module = LoadLibraryA("qvr.8bi");
    return module;
}

PluginEntryProc theEntry() { return qvrhost::loadModule("qvr.8bi", nullptr); }

// Builds expected resource bytes: little-endian numbers, four-character codes
// as 32-bit values (so their bytes come out reversed), and raw text.
struct ByteWriter {
    Bytes bytes;
    void u8(uint32_t v) { bytes.push_back(static_cast<uint8_t>(v)); }
    void u16(uint32_t v) { u8(v), u8(v >> 8); }
    void u32(uint32_t v) { u16(v), u16(v >> 16); }
    void code(const char (&c)[5]) {
        u32(static_cast<uint32_t>(static_cast<uint8_t>(c[0])) << 24 |
            static_cast<uint32_t>(static_cast<uint8_t>(c[1])) << 16 |
            static_cast<uint32_t>(static_cast<uint8_t>(c[2])) << 8 | static_cast<uint8_t>(c[3]));
    }
    void text(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
    void pstr(const std::string& s) { u8(static_cast<uint32_t>(s.size())), text(s); }
    void zeros(size_t n) { bytes.insert(bytes.end(), n, 0); }
};

void property(ByteWriter& w, const char (&key)[5], const Bytes& data) {
    w.code("8BIM");
    w.code(key);
    w.u32(0);
    w.u32(static_cast<uint32_t>(data.size()));
    w.bytes.insert(w.bytes.end(), data.begin(), data.end());
    w.zeros((4 - data.size() % 4) % 4);
}

template <typename Fill>
Bytes data(Fill fill) {
    ByteWriter w;
    fill(w);
    return w.bytes;
}

Bytes expectedPipl() {
    ByteWriter w;
    w.u16(1);
    w.u32(0);
    w.u32(15);
    property(w, "kind", data([](ByteWriter& d) { d.code("8BIF"); }));
    property(w, "name", data([](ByteWriter& d) { d.pstr("Brimwater QVR"), d.zeros(2); }));
    property(w, "vers", data([](ByteWriter& d) { d.u32(0x00010000); }));
    // The code property names this module's architecture only.
#if defined(_WIN64)
    property(w, "8664", data([](ByteWriter& d) { d.text("ENTRYPOINT"), d.zeros(2); }));
#else
    property(w, "wx86", data([](ByteWriter& d) { d.text("ENTRYPOINT"), d.zeros(2); }));
#endif
    property(w, "hstm", data([](ByteWriter& d) {
                 d.u32(0), d.code("qvr "), d.code("null"), d.u16(16000);
                 d.text("Quil  Brimwater QVR");
                 d.zeros(40 - d.bytes.size());
             }));
    property(w, "mode", Bytes{0xFF, 0xC0, 0x00, 0x00});
    property(w, "enbl", data([](ByteWriter& d) { d.text("true"), d.zeros(4); }));
    property(w, "fmTC", data([](ByteWriter& d) { d.code("8B1F"), d.code("8BIM"); }));
    property(w, "fftT", data([](ByteWriter& d) { d.code("8B1F"), d.code("    "); }));
    property(w, "RdEx", Bytes{'Q', 'V', 'R', ' '});
    property(w, "WrEx", Bytes{'Q', 'V', 'R', ' '});
    property(w, "fftE", Bytes{'Q', 'V', 'R', ' '});
    property(w, "fmtf", data([](ByteWriter& d) { d.u32(0x38); }));
    property(w, "mxsz", data([](ByteWriter& d) { d.u16(32767), d.u16(32767); }));
    property(w, "mxch", data([](ByteWriter& d) {
                 d.u16(1);
                 for (int i = 0; i < 11; ++i) d.u16(24);
             }));
    return w.bytes;
}

Bytes expectedAete() {
    ByteWriter w;
    w.u16(1), w.u8(1), w.u8(0), w.u16(0), w.u16(0), w.u16(1);
    w.pstr("Quil "), w.pstr("Quil plug-ins"), w.code("quil"), w.u16(1), w.u16(1);
    w.u16(0), w.u16(1);
    w.pstr("Quil  simpleFormat"), w.code("qvr "), w.pstr("Brimwater QVR file format module");
    w.u16(3);
    w.pstr("<Inheritance>"), w.code("c@#^"), w.code("Fmt "), w.pstr("parent class format"), w.u16(0x1000);
    w.pstr("foo"), w.code("fooB"), w.code("bool"), w.pstr("foobar"), w.u16(0x1000);
    w.pstr("bar"), w.code("barF"), w.code("bool"), w.pstr("foobar"), w.u16(0x1000);
    w.u16(0), w.u16(0), w.u16(0);
    return w.bytes;
}

Bytes resourceBytes(const char* type) {
    HRSRC found =
        FindResourceExA(theModule(), type, MAKEINTRESOURCEA(16000), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!found) return {};
    HGLOBAL loaded = LoadResource(theModule(), found);
    const auto* start = static_cast<const uint8_t*>(LockResource(loaded));
    return Bytes(start, start + SizeofResource(theModule(), found));
}

TEST(Resources, PropertyListByteForByte) {
    ASSERT_NE(theModule(), nullptr);
    const Bytes pipl = resourceBytes("PIPL");
    EXPECT_EQ(pipl, expectedPipl());
    // The codes lie reversed, the extensions in reading order.
    const std::string text(pipl.begin(), pipl.end());
    EXPECT_NE(text.find("dnik"), std::string::npos);
    EXPECT_NE(text.find("QVR "), std::string::npos);
    EXPECT_EQ(text.find(sizeof(void*) == 8 ? "68xw" : "4668"), std::string::npos);
}

TEST(Resources, TerminologyByteForByte) { EXPECT_EQ(resourceBytes("AETE"), expectedAete()); }

TEST(Resources, StringTable) {
    char buffer[512];
    ASSERT_GT(LoadStringA(theModule(), 16992, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "This plug-in requires Adobe Photoshop\xAE ^1 or later functionality.");
    ASSERT_GT(LoadStringA(theModule(), 16993, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "This plug-in is incompatible with this version of the host program.");
    ASSERT_GT(LoadStringA(theModule(), 16000, buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer).rfind("Brimwater QVR\n\nVersion 1.0 Release 2(1999/9/26)\n", 0), 0u);
    EXPECT_NE(std::string(buffer).find("\n\nBrimwater QVR plug-in file format module for Adobe Photoshop."),
              std::string::npos);
    buffer[0] = 'x';
    buffer[1] = '\0';
    EXPECT_EQ(LoadStringA(theModule(), 16001, buffer, sizeof buffer), 0);
}

// ---- message boxes ----

struct Box {
    std::string text;
    std::string caption;
    HWND owner;
    HICON icon;
};

std::vector<Box> boxes;

BOOL CALLBACK readChild(HWND child, LPARAM lParam) {
    Box& box = *reinterpret_cast<Box*>(lParam);
    char className[32] = {0};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Static") != 0) return TRUE;
    if ((GetWindowLongA(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
        box.icon = reinterpret_cast<HICON>(SendMessageA(child, STM_GETICON, 0, 0));
    } else {
        char text[1024] = {0};
        GetWindowTextA(child, text, sizeof text);
        if (text[0]) box.text = text;
    }
    return TRUE;
}

// Catches each dialog box as it opens, records it and closes it.
LRESULT CALLBACK watchBoxes(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE) {
        HWND window = reinterpret_cast<HWND>(wParam);
        char className[32] = {0};
        GetClassNameA(window, className, sizeof className);
        if (std::strcmp(className, "#32770") == 0) {
            Box box{"", "", GetWindow(window, GW_OWNER), nullptr};
            char caption[256] = {0};
            GetWindowTextA(window, caption, sizeof caption);
            box.caption = caption;
            EnumChildWindows(window, readChild, reinterpret_cast<LPARAM>(&box));
            boxes.push_back(box);
            PostMessageA(window, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class MessageBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        boxes.clear();
        hook_ = SetWindowsHookExA(WH_CBT, watchBoxes, nullptr, GetCurrentThreadId());
        ASSERT_NE(hook_, nullptr);
    }
    void TearDown() override { UnhookWindowsHookEx(hook_); }
    HHOOK hook_ = nullptr;
};

TEST_F(MessageBoxes, AboutBoxOwnedByTheHostWindowWithAnEmptyCaption) {
    HWND owner = CreateWindowExA(0, "STATIC", "host", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(owner, nullptr);
    qvrhost::TestHost host(theEntry());
    host.about(reinterpret_cast<intptr_t>(owner));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, owner);
    EXPECT_EQ(boxes[0].caption, "");
    EXPECT_EQ(boxes[0].text.rfind("Brimwater QVR", 0), 0u);
    EXPECT_EQ(boxes[0].icon, LoadIconA(nullptr, MAKEINTRESOURCEA(32516)));  // IDI_INFORMATION
    DestroyWindow(owner);
}

TEST_F(MessageBoxes, CapabilityAlertsNameTheHostVersion) {
    struct Case {
        void (*change)(qvrhost::TestHost&);
        const char* text;
    };
    const Case cases[] = {
        {[](qvrhost::TestHost& h) { h.offerBufferSuite = false; },
         "This plug-in requires Adobe Photoshop\xAE 2.5 or later functionality."},
        {[](qvrhost::TestHost& h) { h.offerAdvanceState = false; },
         "This plug-in requires Adobe Photoshop\xAE 3.0 or later functionality."},
        {[](qvrhost::TestHost& h) { h.handleSuite.handleProcsVersion = 2; },
         "This plug-in is incompatible with this version of the host program."},
    };
    for (const Case& c : cases) {
        boxes.clear();
        qvrhost::TestHost host(theEntry());
        c.change(host);
        EXPECT_EQ(host.call(formatSelectorOptionsStart), userCanceledErr);
        ASSERT_EQ(boxes.size(), 1u) << c.text;
        EXPECT_EQ(boxes[0].text, c.text);
        EXPECT_EQ(boxes[0].owner, nullptr);
        EXPECT_EQ(boxes[0].caption, "Error");                                   // the system's default caption
        EXPECT_EQ(boxes[0].icon, LoadIconA(nullptr, MAKEINTRESOURCEA(32515)));  // IDI_WARNING
    }
}

// ---- the file layer over real Windows file handles ----

std::string tempFile(const char* name) {
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + name;
}

Bytes fileBytes(const std::string& path) {
    Bytes bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return bytes;
    for (int c; (c = std::fgetc(file)) != EOF;) bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return bytes;
}

void putFile(const std::string& path, const Bytes& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

// A noisy RGBA image whose file spans several of the 64-bit module's blocks.
qvr::RasterImage largeImage() {
    qvr::RasterImage image;
    image.allocate(320, 240, 32);
    uint32_t state = 99;
    auto next = [&state] { return static_cast<uint8_t>((state = state * 1103515245u + 12345u) >> 24); };
    for (size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] = static_cast<uint8_t>(i / 960 + (next() & 15));
    for (uint8_t& a : image.alpha) a = next() & 3 ? 255 : next();
    return image;
}

Bytes memoryEncoding(const qvr::RasterImage& image) {
    qvr::MemoryStream stream;
    EXPECT_EQ(qvr::saveQvr(stream, image), "");
    return stream.bytes();
}

TEST(FileLayer, LargeFilesRoundTripThroughTheModule) {
    const qvr::RasterImage image = largeImage();
    const Bytes expected = memoryEncoding(image);
    ASSERT_GT(expected.size(), 2u * 65536u);
    const std::string path = tempFile("qvr-large.qvr");
    qvrhost::TestHost saver(theEntry());
    saver.document() = qvrhost::documentFromRaster(image);
    ASSERT_EQ(saver.save(path), noErr);
    EXPECT_EQ(fileBytes(path), expected);

    qvrhost::TestHost opener(theEntry());
    ASSERT_EQ(opener.open(path), noErr);
    qvr::MemoryStream stream(expected);
    qvr::RasterImage decoded;
    ASSERT_EQ(qvr::loadQvr(stream, decoded), "");
    EXPECT_EQ(opener.document().pixels, qvrhost::documentFromRaster(decoded).pixels);
    EXPECT_EQ(opener.transfers.size(), 480u);
}

TEST(FileLayer, FailuresKeepTheirCodes) {
    const Bytes whole = memoryEncoding(largeImage());
    const std::string path = tempFile("qvr-cut.qvr");
    putFile(path, Bytes(whole.begin(), whole.begin() + 100000));
    qvrhost::TestHost cut(theEntry());
    EXPECT_EQ(cut.open(path), eofErr);
    ASSERT_FALSE(cut.transfers.empty());
    EXPECT_LT(cut.transfers.size(), 240u);  // the colour plane stops where the data does
    for (size_t row = 0; row < cut.transfers.size(); ++row) EXPECT_EQ(cut.transfers[row].rect.top, row);

    // A handle the host opened for reading only cannot take the file.
    qvrhost::TestHost saver(theEntry());
    saver.document() = qvrhost::documentFromRaster(largeImage());
    saver.describeDocument();
    HANDLE readOnly = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    EXPECT_EQ(saver.writeHandle(reinterpret_cast<intptr_t>(readOnly)), writErr);
    CloseHandle(readOnly);
    EXPECT_EQ(fileBytes(path).size(), 100000u);
}

// ---- the data slot ----

// Handles far above 4 GiB on a 64-bit host, so that a slot kept in 32 bits would lose them.
Handle HOST_API highHandle(int32_t size) {
    const SIZE_T bytes = sizeof(char*) + static_cast<SIZE_T>(size) + 16;
    auto* block =
        static_cast<char*>(VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT | MEM_TOP_DOWN, PAGE_READWRITE));
    if (!block) return nullptr;
    auto handle = reinterpret_cast<Handle>(block);
    *handle = block + sizeof(char*) + 8;
    return handle;
}
void HOST_API freeHighHandle(Handle handle) { VirtualFree(handle, 0, MEM_RELEASE); }
Ptr HOST_API lockHighHandle(Handle handle, Boolean) { return handle ? *handle : nullptr; }

TEST(DataSlot, TheGlobalsHandleFillsTheWholeSlot) {
    qvrhost::TestHost host(theEntry());
    host.handleSuite.newProc = highHandle;
    host.handleSuite.disposeProc = freeHighHandle;
    host.handleSuite.lockProc = lockHighHandle;
    host.record().handleProcs = &host.handleSuite;
    struct {
        intptr_t before = 0x5A5A5A5A;
        intptr_t slot = 0;
        intptr_t after = 0x5A5A5A5A;
    } guarded;
    int16_t result = 1;
    theEntry()(formatSelectorReadPrepare, &host.record(), &guarded.slot, &result);
    ASSERT_EQ(result, noErr);
    ASSERT_NE(guarded.slot, 0);
    if (sizeof(intptr_t) == 8) {
        EXPECT_NE(static_cast<uint64_t>(guarded.slot) >> 32, 0u) << "the host's handles lie above 4 GiB";
    }
    EXPECT_EQ(guarded.before, 0x5A5A5A5A);
    EXPECT_EQ(guarded.after, 0x5A5A5A5A);
    // The next call finds its globals again through the whole value.
    const intptr_t kept = guarded.slot;
    host.record().maxData = 77;
    theEntry()(formatSelectorEstimatePrepare, &host.record(), &guarded.slot, &result);
    EXPECT_EQ(result, noErr);
    EXPECT_EQ(guarded.slot, kept);
    EXPECT_EQ(host.record().maxData, 0);
    freeHighHandle(reinterpret_cast<Handle>(kept));
}

}  // namespace

// Hardware faults reach a program as what they are. Under emulation this is
// the preloaded fixes' work (tests/windows/emulation/); without them every
// fault arrives as an illegal instruction. Each faulting instruction below is
// two bytes long, in both architectures, and the handler steps over it.
namespace {
volatile DWORD lastFault;

LONG CALLBACK stepOverFault(EXCEPTION_POINTERS* pointers) {
    lastFault = pointers->ExceptionRecord->ExceptionCode;
#ifdef _WIN64
    pointers->ContextRecord->Rip += 2;
#else
    pointers->ContextRecord->Eip += 2;
#endif
    return EXCEPTION_CONTINUE_EXECUTION;
}
}  // namespace

TEST(Faults, HardwareFaultsReachTheProgramAsThemselves) {
    PVOID handler = AddVectoredExceptionHandler(1, stepOverFault);
    ASSERT_NE(handler, nullptr);
    lastFault = 0;
    // mov (%ecx or %rcx), %eax with a null pointer
    __asm__ volatile("xor %%ecx, %%ecx\n\t.byte 0x8b, 0x01" ::: "eax", "ecx", "memory");
    EXPECT_EQ(lastFault, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    lastFault = 0;
    // div %ecx with ecx zero
    __asm__ volatile("xor %%ecx, %%ecx\n\txor %%edx, %%edx\n\tmov $1, %%eax\n\t.byte 0xf7, 0xf1" ::
                         : "eax", "ecx", "edx", "memory");
    EXPECT_EQ(lastFault, static_cast<DWORD>(EXCEPTION_INT_DIVIDE_BY_ZERO));
    RemoveVectoredExceptionHandler(handler);
}

// qvrwic.dll as programs meet it: only through WIC's own factory, which must
// find the decoder by the registry alone.
//   wic_test registered MANIFEST QVR_SAMPLE OTHER_IMAGE
//     MANIFEST lines are "FILE<TAB>REFERENCE" (see reference_dump.cpp)
//   wic_test unregistered QVR_SAMPLE
// Prints a line per failure and "wic_test: N passed, M failed".
#include <initguid.h>
#include <shlwapi.h>
#include <wincodec.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "wic/guids.h"

using namespace qvr::wic;

namespace {

int passes = 0, failures = 0;

void check(bool ok, const std::string& file, const std::string& what) {
    if (ok) {
        ++passes;
        return;
    }
    ++failures;
    std::printf("FAIL: %s: %s\n", file.c_str(), what.c_str());
}

std::string hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(hr));
    return text;
}

void checkHr(HRESULT got, HRESULT want, const std::string& file, const std::string& what) {
    check(got == want, file, what + ": " + hex(got) + ", expected " + hex(want));
}

std::vector<BYTE> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::wstring wide(const std::string& text) { return {text.begin(), text.end()}; }

// A stream over bytes in memory that claims to be `claimed` bytes long and
// counts how far anyone read.
class ClaimingStream final : public IStream {
public:
    ClaimingStream(std::vector<BYTE> bytes, ULONGLONG claimed) : bytes_(std::move(bytes)), claimed_(claimed) {}
    ULONGLONG furthestRead = 0;
    ULONGLONG bytesRead = 0;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_IUnknown || iid == IID_ISequentialStream || iid == IID_IStream) {
            *object = this;
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override { return --references_; }  // lives on the test's stack
    HRESULT STDMETHODCALLTYPE Read(void* into, ULONG count, ULONG* got) override {
        const ULONGLONG available = position_ < bytes_.size() ? bytes_.size() - position_ : 0;
        const ULONG n = static_cast<ULONG>(count < available ? count : available);
        if (n) std::memcpy(into, bytes_.data() + position_, n);
        position_ += n;
        bytesRead += n;
        if (position_ > furthestRead) furthestRead = position_;
        if (got) *got = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return STG_E_ACCESSDENIED; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* now) override {
        const LONGLONG base = origin == STREAM_SEEK_SET   ? 0
                              : origin == STREAM_SEEK_CUR ? LONGLONG(position_)
                                                          : LONGLONG(claimed_);
        if (base + move.QuadPart < 0) return STG_E_INVALIDFUNCTION;
        position_ = static_cast<ULONGLONG>(base + move.QuadPart);
        if (now) now->QuadPart = position_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override {
        std::memset(stat, 0, sizeof *stat);
        stat->type = STGTY_STREAM;
        stat->cbSize.QuadPart = claimed_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    std::vector<BYTE> bytes_;
    ULONGLONG claimed_;
    ULONGLONG position_ = 0;
    ULONG references_ = 1;
};

// What the library gives for a file.
struct Reference {
    bool ok = false;
    int error = 0;
    UINT width = 0, height = 0;
    int depth = 0;
    std::vector<BYTE> palette;  // 256 WICColors as bytes
    std::vector<BYTE> pixels;   // rows as WIC lays them out
};

bool readReference(const std::string& path, Reference& ref) {
    const std::vector<BYTE> bytes = readFile(path);
    const auto newline = std::find(bytes.begin(), bytes.end(), '\n');
    if (newline == bytes.end()) return false;
    std::istringstream line(std::string(bytes.begin(), newline));
    std::string word;
    line >> word;
    if (word == "error") return static_cast<bool>(line >> ref.error);
    if (word != "ok" || !(line >> ref.width >> ref.height >> ref.depth)) return false;
    ref.ok = true;
    auto body = newline + 1;
    if (ref.depth == 8) {
        if (bytes.end() - body < 1024) return false;
        ref.palette.assign(body, body + 1024);
        body += 1024;
    }
    ref.pixels.assign(body, bytes.end());
    return ref.pixels.size() == size_t{ref.width} * ref.height * static_cast<size_t>(ref.depth / 8);
}

const GUID& formatOfDepth(int depth) {
    return depth == 8    ? GUID_WICPixelFormat8bppIndexed
           : depth == 24 ? GUID_WICPixelFormat24bppBGR
                         : GUID_WICPixelFormat32bppBGRA;
}

// CopyPixels of `rect` with `stride` into a buffer of exactly the bytes it
// needs: each row must match the reference, and the padding between rows
// and the bytes after the buffer must stay untouched.
void checkRect(IWICBitmapFrameDecode* frame, const Reference& ref, WICRect rect, const std::string& file) {
    const UINT bpp = static_cast<UINT>(ref.depth / 8);
    const UINT rowBytes = UINT(rect.Width) * bpp;
    const UINT stride = rowBytes + 1 + rowBytes % 2;  // odd, past the row
    const UINT size = stride * UINT(rect.Height - 1) + rowBytes;
    std::vector<BYTE> buffer(size + 16, 0xCD);
    const std::string what = "rectangle " + std::to_string(rect.X) + "," + std::to_string(rect.Y) + " " +
                             std::to_string(rect.Width) + "x" + std::to_string(rect.Height) + " stride " +
                             std::to_string(stride);
    checkHr(frame->CopyPixels(&rect, stride, size, buffer.data()), S_OK, file, what);
    bool same = true;
    for (int y = 0; y < rect.Height; ++y) {
        const BYTE* want = ref.pixels.data() + (size_t(rect.Y + y) * ref.width + UINT(rect.X)) * bpp;
        same = same && std::memcmp(buffer.data() + size_t(stride) * y, want, rowBytes) == 0;
        for (UINT k = rowBytes; k < stride && y + 1 < rect.Height; ++k)
            same = same && buffer[size_t(stride) * y + k] == 0xCD;
    }
    for (UINT k = size; k < size + 16; ++k) same = same && buffer[k] == 0xCD;
    check(same, file, what + ": pixels or padding differ");

    // One byte short, a stride shorter than a row: refused, nothing written.
    std::vector<BYTE> untouched(size + 16, 0xCD);
    buffer = untouched;
    checkHr(frame->CopyPixels(&rect, stride, size - 1, buffer.data()), WINCODEC_ERR_INSUFFICIENTBUFFER, file,
            what + " one byte short");
    if (rowBytes > 1 && rect.Height > 1)
        checkHr(frame->CopyPixels(&rect, rowBytes - 1, size, buffer.data()), E_INVALIDARG, file,
                what + " stride short of a row");
    check(buffer == untouched, file, what + ": a refused copy wrote to the buffer");
}

void checkDecoded(IWICImagingFactory* factory, IWICBitmapDecoder* decoder, const Reference& ref,
                  const std::string& file) {
    GUID container{};
    checkHr(decoder->GetContainerFormat(&container), S_OK, file, "GetContainerFormat");
    check(container == GUID_ContainerFormatQvr, file, "container format");
    UINT frames = 0;
    checkHr(decoder->GetFrameCount(&frames), S_OK, file, "GetFrameCount");
    check(frames == 1, file, "frame count " + std::to_string(frames));
    IWICBitmapFrameDecode* frame = nullptr;
    checkHr(decoder->GetFrame(1, &frame), WINCODEC_ERR_FRAMEMISSING, file, "GetFrame(1)");
    checkHr(decoder->GetFrame(0, &frame), S_OK, file, "GetFrame(0)");
    if (!frame) return;
    UINT width = 0, height = 0;
    frame->GetSize(&width, &height);
    check(width == ref.width && height == ref.height, file,
          "size " + std::to_string(width) + "x" + std::to_string(height));
    WICPixelFormatGUID format{};
    frame->GetPixelFormat(&format);
    check(format == formatOfDepth(ref.depth), file, "pixel format for depth " + std::to_string(ref.depth));
    double dpiX = 0, dpiY = 0;
    frame->GetResolution(&dpiX, &dpiY);
    check(dpiX == 96.0 && dpiY == 96.0, file, "resolution");
    IWICBitmapSource* thumbnail = nullptr;
    checkHr(frame->GetThumbnail(&thumbnail), WINCODEC_ERR_CODECNOTHUMBNAIL, file, "GetThumbnail");

    IWICPalette* palette = nullptr;
    if (SUCCEEDED(factory->CreatePalette(&palette))) {
        const HRESULT hr = frame->CopyPalette(palette);
        if (ref.depth == 8) {
            WICColor colours[256] = {};
            UINT count = 0;
            check(hr == S_OK && palette->GetColors(256, colours, &count) == S_OK && count == 256 &&
                      std::memcmp(colours, ref.palette.data(), sizeof colours) == 0,
                  file, "palette");
        } else {
            checkHr(hr, WINCODEC_ERR_PALETTEUNAVAILABLE, file, "CopyPalette of a 16 bpp file");
        }
        palette->Release();
    }

    // The whole image with the tightest stride and no rectangle, then parts.
    const UINT bpp = static_cast<UINT>(ref.depth / 8);
    std::vector<BYTE> pixels(ref.pixels.size());
    checkHr(frame->CopyPixels(nullptr, width * bpp, UINT(pixels.size()), pixels.data()), S_OK, file,
            "CopyPixels whole");
    check(pixels == ref.pixels, file, "pixels of the whole image differ from the library's");
    const INT w = INT(ref.width), h = INT(ref.height);
    const WICRect rects[] = {{0, 0, w, h},     {1, 0, w - 1, h}, {w / 2, h / 3, w - w / 2, h - h / 3},
                             {0, h - 1, w, 1}, {w - 1, 0, 1, h}, {w - 1, h - 1, 1, 1}};
    for (const WICRect& rect : rects) checkRect(frame, ref, rect, file);
    const WICRect outside[] = {{w - 1, 0, 2, 1}, {0, h - 1, 1, 2}, {-1, 0, 1, 1}, {0, 0, -1, 1}};
    for (const WICRect& rect : outside)
        checkHr(frame->CopyPixels(&rect, 64, 4096, pixels.data()), E_INVALIDARG, file, "rectangle outside the image");
    frame->Release();
}

// The HRESULT WIC must give for a file the library refuses with `error`.
HRESULT expectedFailure(int error, const std::vector<BYTE>& bytes) {
    if (error == 2) {  // not QVR: our decoder is picked only when the pattern matches
        const bool matches =
            bytes.size() >= sizeof QVR_PATTERN && std::memcmp(bytes.data(), QVR_PATTERN, sizeof QVR_PATTERN) == 0;
        return matches ? WINCODEC_ERR_BADHEADER : WINCODEC_ERR_COMPONENTNOTFOUND;
    }
    return error == 7 ? E_OUTOFMEMORY : WINCODEC_ERR_BADIMAGE;
}

void checkFile(IWICImagingFactory* factory, const std::string& file, const std::string& referencePath) {
    Reference ref;
    if (!readReference(referencePath, ref)) {
        check(false, file, "unreadable reference " + referencePath);
        return;
    }
    IWICBitmapDecoder* decoder = nullptr;
    const HRESULT hr = factory->CreateDecoderFromFilename(wide(file).c_str(), nullptr, GENERIC_READ,
                                                          WICDecodeMetadataCacheOnDemand, &decoder);
    if (!ref.ok) {
        checkHr(hr, expectedFailure(ref.error, readFile(file)), file, "library error " + std::to_string(ref.error));
        if (decoder) decoder->Release();
        return;
    }
    checkHr(hr, S_OK, file, "CreateDecoderFromFilename");
    if (!decoder) return;
    checkDecoded(factory, decoder, ref, file);
    decoder->Release();
}

IWICBitmapDecoderInfo* findOurDecoder(IWICImagingFactory* factory, int& found) {
    found = 0;
    IWICBitmapDecoderInfo* ours = nullptr;
    IEnumUnknown* components = nullptr;
    if (FAILED(factory->CreateComponentEnumerator(WICDecoder, WICComponentEnumerateDefault, &components)))
        return nullptr;
    IUnknown* unknown = nullptr;
    ULONG fetched = 0;
    while (components->Next(1, &unknown, &fetched) == S_OK && fetched == 1) {
        IWICBitmapDecoderInfo* info = nullptr;
        CLSID clsid{};
        if (SUCCEEDED(unknown->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(&info))) &&
            SUCCEEDED(info->GetCLSID(&clsid)) && clsid == CLSID_QvrDecoder) {
            ++found;
            if (!ours)
                ours = info;
            else
                info->Release();
        } else if (info) {
            info->Release();
        }
        unknown->Release();
    }
    components->Release();
    return ours;
}

std::wstring textOf(const std::function<HRESULT(UINT, WCHAR*, UINT*)>& get) {
    WCHAR text[256] = {};
    UINT length = 0;
    return SUCCEEDED(get(256, text, &length)) ? std::wstring(text) : L"(failed)";
}

void checkComponentInfo(IWICImagingFactory* factory, const std::string& sample, const std::string& other) {
    int found = 0;
    IWICBitmapDecoderInfo* info = findOurDecoder(factory, found);
    check(found == 1, "enumerator", "our decoder listed " + std::to_string(found) + " times");
    if (!info) return;
    check(textOf([&](UINT n, WCHAR* t, UINT* l) { return info->GetFileExtensions(n, t, l); }) == QVR_EXTENSION,
          "enumerator", "file extensions");
    check(textOf([&](UINT n, WCHAR* t, UINT* l) { return info->GetMimeTypes(n, t, l); }) == QVR_MIME_TYPE, "enumerator",
          "MIME types");
    check(textOf([&](UINT n, WCHAR* t, UINT* l) { return info->GetFriendlyName(n, t, l); }) == DECODER_NAME,
          "enumerator", "friendly name");
    GUID guid{};
    check(info->GetVendorGUID(&guid) == S_OK && guid == GUID_VendorQvr, "enumerator", "vendor");
    check(info->GetContainerFormat(&guid) == S_OK && guid == GUID_ContainerFormatQvr, "enumerator", "container format");
    GUID formats[8] = {};
    UINT count = 0;
    info->GetPixelFormats(8, formats, &count);
    check(count == 3 && std::count(formats, formats + 3, GUID_WICPixelFormat8bppIndexed) == 1 &&
              std::count(formats, formats + 3, GUID_WICPixelFormat24bppBGR) == 1 &&
              std::count(formats, formats + 3, GUID_WICPixelFormat32bppBGRA) == 1,
          "enumerator", "pixel formats (" + std::to_string(count) + ")");
    const struct {
        const std::string& file;
        BOOL matches;
    } patterns[] = {{sample, TRUE}, {other, FALSE}};
    for (const auto& p : patterns) {
        const std::vector<BYTE> bytes = readFile(p.file);
        IStream* stream = SHCreateMemStream(bytes.data(), UINT(bytes.size()));
        BOOL matches = !p.matches;
        check(stream && info->MatchesPattern(stream, &matches) == S_OK && matches == p.matches, p.file,
              "MatchesPattern");
        if (stream) stream->Release();
    }
    info->Release();
}

// QueryCapability answers from the header and leaves the stream where it was.
void checkCapability(IWICImagingFactory* factory, const std::string& sample, const std::string& other) {
    IWICBitmapDecoder* decoder = nullptr;
    checkHr(factory->CreateDecoder(GUID_ContainerFormatQvr, nullptr, &decoder), S_OK, "CreateDecoder",
            "by container format");
    if (!decoder) return;
    const struct {
        const std::string& file;
        DWORD capability;
    } cases[] = {{sample, WICBitmapDecoderCapabilityCanDecodeAllImages}, {other, 0}};
    for (const auto& c : cases) {
        const std::vector<BYTE> bytes = readFile(c.file);
        IStream* stream = SHCreateMemStream(bytes.data(), UINT(bytes.size()));
        if (!stream) continue;
        LARGE_INTEGER five;
        five.QuadPart = 5;
        stream->Seek(five, STREAM_SEEK_SET, nullptr);
        DWORD capability = 0xFFFF;
        checkHr(decoder->QueryCapability(stream, &capability), S_OK, c.file, "QueryCapability");
        check(capability == c.capability, c.file, "capability " + std::to_string(capability));
        LARGE_INTEGER zero{};
        ULARGE_INTEGER at{};
        stream->Seek(zero, STREAM_SEEK_CUR, &at);
        check(at.QuadPart == 5, c.file, "QueryCapability moved the stream");
        stream->Release();
    }
    IWICBitmapDecoderInfo* info = nullptr;
    CLSID clsid{};
    check(decoder->GetDecoderInfo(&info) == S_OK && info->GetCLSID(&clsid) == S_OK && clsid == CLSID_QvrDecoder,
          "GetDecoderInfo", "the decoder's own component information");
    if (info) info->Release();
    decoder->Release();
}

// Streams that claim to be a petabyte long: the decoder reads only what the
// header lets it reach, allocates for that, and stops where the bytes end.
void checkClaimingStreams(IWICImagingFactory* factory, const std::string& sample, const std::string& reference) {
    const ULONGLONG PETABYTE = 1ull << 50;
    Reference ref;
    readReference(reference, ref);
    const std::vector<BYTE> bytes = readFile(sample);
    ClaimingStream stream(bytes, PETABYTE);
    IWICBitmapDecoder* decoder = nullptr;
    checkHr(factory->CreateDecoderFromStream(&stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder), S_OK, sample,
            "through a stream claiming a petabyte");
    if (decoder) {
        checkDecoded(factory, decoder, ref, sample + " (claiming stream)");
        decoder->Release();
    }
    check(stream.furthestRead <= bytes.size(), sample, "read past the stream's bytes");

    // The palette moved behind the data and 64 MiB of nothing: the same
    // image, read without the gap (WIC's own probing reads a little too).
    const uint32_t dataOffset = 48 + 768, gap = 64u << 20;
    std::vector<BYTE> gapped(bytes.begin(), bytes.begin() + 48);
    gapped.insert(gapped.end(), bytes.begin() + dataOffset, bytes.end());
    const uint32_t moved[2] = {48, uint32_t(gapped.size()) + gap};
    std::memcpy(&gapped[32], moved, sizeof moved);
    gapped.resize(gapped.size() + gap);
    gapped.insert(gapped.end(), bytes.begin() + 48, bytes.begin() + dataOffset);
    ClaimingStream spread(gapped, gapped.size());
    decoder = nullptr;
    checkHr(factory->CreateDecoderFromStream(&spread, nullptr, WICDecodeMetadataCacheOnDemand, &decoder), S_OK, sample,
            "with the palette behind a gap");
    if (decoder) {
        checkDecoded(factory, decoder, ref, sample + " (palette behind a gap)");
        decoder->Release();
    }
    check(spread.bytesRead < gap / 64, sample,
          "read " + std::to_string(spread.bytesRead) + " bytes around a 64 MiB gap");

    // A header of the largest size or with its data far into the stream,
    // over a few bytes: refused as damaged, never out of memory.
    std::vector<BYTE> largest(bytes.begin(), bytes.begin() + 48 + 64);
    const uint32_t side = 8191, distantOffset = 0x7FFFFF00;
    std::memcpy(&largest[24], &side, 4);
    std::memcpy(&largest[28], &side, 4);
    std::vector<BYTE> distant(bytes.begin(), bytes.begin() + 48 + 64);
    std::memcpy(&distant[32], &distantOffset, 4);
    for (const auto& [name, file] :
         {std::pair{"8191 x 8191 header", largest}, std::pair{"data offset 2^31 - 256", distant}}) {
        ClaimingStream claiming(file, PETABYTE);
        decoder = nullptr;
        checkHr(factory->CreateDecoderFromStream(&claiming, nullptr, WICDecodeMetadataCacheOnDemand, &decoder),
                WINCODEC_ERR_BADIMAGE, name, "through a stream claiming a petabyte");
        if (decoder) decoder->Release();
    }
}

int registered(IWICImagingFactory* factory, const std::string& manifest, const std::string& sample,
               const std::string& other) {
    std::ifstream list(manifest);
    std::string line;
    std::string sampleReference;
    while (std::getline(list, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        checkFile(factory, line.substr(0, tab), line.substr(tab + 1));
        if (line.substr(0, tab) == sample) sampleReference = line.substr(tab + 1);
    }
    check(!sampleReference.empty(), manifest, "lists the sample " + sample);
    checkComponentInfo(factory, sample, other);
    checkCapability(factory, sample, other);
    if (!sampleReference.empty()) checkClaimingStreams(factory, sample, sampleReference);
    return 0;
}

int unregistered(IWICImagingFactory* factory, const std::string& sample) {
    IWICBitmapDecoder* decoder = nullptr;
    checkHr(factory->CreateDecoderFromFilename(wide(sample).c_str(), nullptr, GENERIC_READ,
                                               WICDecodeMetadataCacheOnDemand, &decoder),
            WINCODEC_ERR_COMPONENTNOTFOUND, sample, "after unregistering");
    if (decoder) decoder->Release();
    int found = 0;
    if (IWICBitmapDecoderInfo* info = findOurDecoder(factory, found)) info->Release();
    check(found == 0, "enumerator", "still lists our decoder after unregistering");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!((mode == "registered" && argc == 5) || (mode == "unregistered" && argc == 3))) {
        std::fprintf(stderr, "usage: wic_test registered MANIFEST QVR_SAMPLE OTHER_IMAGE | unregistered QVR_SAMPLE\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IWICImagingFactory* factory = nullptr;
    const HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                        reinterpret_cast<void**>(&factory));
    check(hr == S_OK, "CoCreateInstance", "WIC's imaging factory: " + hex(hr));
    if (factory) {
        if (mode == "registered")
            registered(factory, argv[2], argv[3], argv[4]);
        else
            unregistered(factory, argv[2]);
        factory->Release();
    }
    CoUninitialize();
    std::printf("wic_test %s: %d passed, %d failed\n", mode.c_str(), passes, failures);
    return failures == 0 ? 0 : 1;
}

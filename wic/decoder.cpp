// The decoder and its one frame. Initialize decodes the stream whole through
// the library's streaming decoder, which reads it in chunks and never past
// what the header lets it use, so every later call answers from the decoded
// planes.
#include "wic/decoder.h"

#include <wincodec.h>

#include <atomic>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "library/raster_decode.h"
#include "streams/image_io.h"
#include "wic/guids.h"

namespace qvr::wic {
namespace {

std::atomic<long> liveObjects{0};

// AddRef, Release and QueryInterface for a class that answers to IUnknown
// and the interfaces listed by `Answers`.
template <typename Self, typename First, typename... More>
class ComObject : public First {
public:
    ComObject() { ++liveObjects; }
    virtual ~ComObject() { --liveObjects; }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == IID_IUnknown || iid == __uuidof(First) || ((iid == __uuidof(More)) || ...)) {
            *object = static_cast<First*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --references_;
        if (left == 0) delete static_cast<Self*>(this);
        return static_cast<ULONG>(left);
    }

private:
    std::atomic<long> references_{1};
};

const WICPixelFormatGUID& pixelFormatOf(int32_t depth) {
    return depth == 8    ? GUID_WICPixelFormat8bppIndexed
           : depth == 24 ? GUID_WICPixelFormat24bppBGR
                         : GUID_WICPixelFormat32bppBGRA;
}

int32_t bytesPerPixel(int32_t depth) { return depth == 8 ? 1 : depth == 24 ? 3 : 4; }

// The IStream behind the library decoder's reader procedures; the stream's
// own failure is kept for Initialize to return.
struct StreamReader {
    IStream* stream;
    HRESULT failure = S_OK;
};
int64_t readStream(void* user, void* buffer, size_t size) {
    auto& source = *static_cast<StreamReader*>(user);
    ULONG got = 0;
    const HRESULT hr = source.stream->Read(buffer, static_cast<ULONG>(size < (1u << 30) ? size : (1u << 30)), &got);
    if (FAILED(hr)) {
        source.failure = hr;
        return -1;
    }
    return got;
}
int seekStream(void* user, uint64_t offset) {
    auto& source = *static_cast<StreamReader*>(user);
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    const HRESULT hr = offset > INT64_MAX ? E_INVALIDARG : source.stream->Seek(to, STREAM_SEEK_SET, nullptr);
    if (FAILED(hr)) source.failure = hr;
    return FAILED(hr) ? -1 : 0;
}
int64_t streamSize(void* user) {  // -1 for a stream that cannot tell
    STATSTG stat{};
    if (FAILED(static_cast<StreamReader*>(user)->stream->Stat(&stat, STATFLAG_NONAME))) return -1;
    return stat.cbSize.QuadPart > INT64_MAX ? -1 : static_cast<int64_t>(stat.cbSize.QuadPart);
}

HRESULT fillPalette(const RasterImage& image, IWICPalette* palette) {
    if (!palette) return E_INVALIDARG;
    if (image.depth != 8) return WINCODEC_ERR_PALETTEUNAVAILABLE;
    WICColor colours[256];
    for (int i = 0; i < 256; ++i) {
        const uint8_t* c = &image.palette[3 * static_cast<size_t>(i)];
        colours[i] = 0xFF000000u | uint32_t{c[0]} << 16 | uint32_t{c[1]} << 8 | c[2];
    }
    return palette->InitializeCustom(colours, 256);
}

// Rows `rect` of the image into the caller's buffer as indices, BGR or BGRA.
HRESULT copyPixels(const RasterImage& image, const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) {
    const WICRect whole{0, 0, image.width, image.height};
    const WICRect r = rect ? *rect : whole;
    if (r.X < 0 || r.Y < 0 || r.Width < 0 || r.Height < 0 || r.X > image.width - r.Width ||
        r.Y > image.height - r.Height)
        return E_INVALIDARG;
    if (r.Width == 0 || r.Height == 0) return S_OK;
    if (!buffer) return E_INVALIDARG;
    const int32_t step = bytesPerPixel(image.depth);
    const uint64_t rowBytes = uint64_t(r.Width) * step;
    if (stride < rowBytes) return E_INVALIDARG;
    if (bufferSize < uint64_t{stride} * (r.Height - 1) + rowBytes) return WINCODEC_ERR_INSUFFICIENTBUFFER;
    const size_t width = static_cast<size_t>(image.width);
    for (int32_t y = 0; y < r.Height; ++y) {
        BYTE* out = buffer + size_t{stride} * y;
        const size_t first = (static_cast<size_t>(r.Y) + y) * width + r.X;
        if (image.depth == 8) {
            std::memcpy(out, &image.indices[first], static_cast<size_t>(r.Width));
            continue;
        }
        const uint8_t* rgb = &image.rgb[3 * first];
        for (int32_t x = 0; x < r.Width; ++x, out += step, rgb += 3) {
            out[0] = rgb[2];
            out[1] = rgb[1];
            out[2] = rgb[0];
            if (step == 4) out[3] = image.alpha[first + x];
        }
    }
    return S_OK;
}

// What the decoder and its frame both lack: metadata, colour profiles, a
// stored thumbnail.
HRESULT noMetadata(IWICMetadataQueryReader** reader) {
    if (reader) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
}
HRESULT noColorContexts(UINT* count) {
    if (!count) return E_INVALIDARG;
    *count = 0;
    return S_OK;
}
HRESULT noThumbnail(IWICBitmapSource** thumbnail) {
    if (thumbnail) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
}

class Frame final : public ComObject<Frame, IWICBitmapFrameDecode, IWICBitmapSource> {
public:
    Frame(IWICBitmapDecoder* owner, const RasterImage& image) : owner_(owner), image_(image) { owner_->AddRef(); }
    ~Frame() override { owner_->Release(); }

    HRESULT STDMETHODCALLTYPE GetSize(UINT* width, UINT* height) override {
        if (!width || !height) return E_INVALIDARG;
        *width = static_cast<UINT>(image_.width);
        *height = static_cast<UINT>(image_.height);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPixelFormat(WICPixelFormatGUID* format) override {
        if (!format) return E_INVALIDARG;
        *format = pixelFormatOf(image_.depth);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetResolution(double* dpiX, double* dpiY) override {
        if (!dpiX || !dpiY) return E_INVALIDARG;
        *dpiX = *dpiY = 96.0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override { return fillPalette(image_, palette); }
    HRESULT STDMETHODCALLTYPE CopyPixels(const WICRect* rect, UINT stride, UINT bufferSize, BYTE* buffer) override {
        return copyPixels(image_, rect, stride, bufferSize, buffer);
    }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
        return noMetadata(reader);
    }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override {
        return noColorContexts(count);
    }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override { return noThumbnail(thumbnail); }

private:
    IWICBitmapDecoder* owner_;  // kept alive while the frame lives: it holds the pixels
    const RasterImage& image_;
};

class Decoder final : public ComObject<Decoder, IWICBitmapDecoder> {
public:
    Decoder() { InitializeSRWLock(&lock_); }

    HRESULT STDMETHODCALLTYPE QueryCapability(IStream* stream, DWORD* capability) override {
        if (!stream || !capability) return E_INVALIDARG;
        *capability = 0;
        LARGE_INTEGER zero{};
        ULARGE_INTEGER was{};
        HRESULT hr = stream->Seek(zero, STREAM_SEEK_CUR, &was);
        if (FAILED(hr)) return hr;
        FileHeader header{};
        ULONG got = 0;
        hr = stream->Seek(zero, STREAM_SEEK_SET, nullptr);
        if (SUCCEEDED(hr)) hr = stream->Read(&header, sizeof header, &got);
        LARGE_INTEGER back;
        back.QuadPart = static_cast<LONGLONG>(was.QuadPart);
        const HRESULT restored = stream->Seek(back, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) return hr;
        if (FAILED(restored)) return restored;
        if (got == sizeof header && headerValid(header)) *capability = WICBitmapDecoderCapabilityCanDecodeAllImages;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Initialize(IStream* stream, WICDecodeOptions) override {
        if (!stream) return E_INVALIDARG;
        AcquireSRWLockExclusive(&lock_);
        HRESULT hr = ready_ ? WINCODEC_ERR_WRONGSTATE : decode(stream);
        ready_ = SUCCEEDED(hr);
        ReleaseSRWLockExclusive(&lock_);
        return hr;
    }

    HRESULT STDMETHODCALLTYPE GetContainerFormat(GUID* format) override {
        if (!format) return E_INVALIDARG;
        *format = GUID_ContainerFormatQvr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetDecoderInfo(IWICBitmapDecoderInfo** info) override {
        if (!info) return E_INVALIDARG;
        *info = nullptr;
        IWICImagingFactory* factory = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                      reinterpret_cast<void**>(&factory));
        if (FAILED(hr)) return hr;
        IWICComponentInfo* component = nullptr;
        hr = factory->CreateComponentInfo(CLSID_QvrDecoder, &component);
        if (SUCCEEDED(hr)) {
            hr = component->QueryInterface(IID_IWICBitmapDecoderInfo, reinterpret_cast<void**>(info));
            component->Release();
        }
        factory->Release();
        return hr;
    }

    HRESULT STDMETHODCALLTYPE CopyPalette(IWICPalette* palette) override {
        if (!isReady()) return WINCODEC_ERR_NOTINITIALIZED;
        return fillPalette(image_, palette);
    }
    HRESULT STDMETHODCALLTYPE GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
        return noMetadata(reader);
    }
    HRESULT STDMETHODCALLTYPE GetPreview(IWICBitmapSource** preview) override {
        if (preview) *preview = nullptr;
        return WINCODEC_ERR_UNSUPPORTEDOPERATION;
    }
    HRESULT STDMETHODCALLTYPE GetColorContexts(UINT, IWICColorContext**, UINT* count) override {
        return noColorContexts(count);
    }
    HRESULT STDMETHODCALLTYPE GetThumbnail(IWICBitmapSource** thumbnail) override { return noThumbnail(thumbnail); }
    HRESULT STDMETHODCALLTYPE GetFrameCount(UINT* count) override {
        if (!count) return E_INVALIDARG;
        if (!isReady()) return WINCODEC_ERR_NOTINITIALIZED;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
        if (!frame) return E_INVALIDARG;
        *frame = nullptr;
        if (!isReady()) return WINCODEC_ERR_NOTINITIALIZED;
        if (index != 0) return WINCODEC_ERR_FRAMEMISSING;
        *frame = new (std::nothrow) Frame(this, image_);
        return *frame ? S_OK : E_OUTOFMEMORY;
    }

private:
    bool isReady() {
        AcquireSRWLockShared(&lock_);
        const bool ready = ready_;
        ReleaseSRWLockShared(&lock_);
        return ready;
    }

    HRESULT decode(IStream* stream) {
        StreamReader source{stream};
        const qvr_reader reader{&source, readStream, seekStream, streamSize};
        const qvr_error error = decodeIntoRaster(reader, image_, nullptr, nullptr);
        if (error == QVR_OK) return S_OK;
        image_ = RasterImage{};
        switch (error) {
        case QVR_ERROR_NOT_QVR: return WINCODEC_ERR_BADHEADER;
        case QVR_ERROR_OUT_OF_MEMORY: return E_OUTOFMEMORY;
        case QVR_ERROR_READ: return FAILED(source.failure) ? source.failure : E_FAIL;
        default: return WINCODEC_ERR_BADIMAGE;
        }
    }

    SRWLOCK lock_;
    bool ready_ = false;  // image_ holds the decoded file and never changes again
    RasterImage image_;
};

class Factory final : public ComObject<Factory, IClassFactory> {
public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        Decoder* decoder = new (std::nothrow) Decoder;
        if (!decoder) return E_OUTOFMEMORY;
        const HRESULT hr = decoder->QueryInterface(iid, object);
        decoder->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock)
            ++liveObjects;
        else
            --liveObjects;
        return S_OK;
    }
};

static_assert(sizeof QVR_PATTERN == 6 && QVR_PATTERN[0] == QVR_MAGIC_0 && QVR_PATTERN[1] == QVR_MAGIC_1 &&
              QVR_PATTERN[2] == QVR_VERSION && QVR_PATTERN[4] == HEADER_BYTES);

}  // namespace

HRESULT getClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_QvrDecoder) return CLASS_E_CLASSNOTAVAILABLE;
    Factory* factory = new (std::nothrow) Factory;
    if (!factory) return E_OUTOFMEMORY;
    const HRESULT hr = factory->QueryInterface(iid, object);
    factory->Release();
    return hr;
}

bool objectsAlive() { return liveObjects.load() != 0; }

}  // namespace qvr::wic

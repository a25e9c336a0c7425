// What regsvr32 writes and removes. The decoder's class and its instance in
// WIC's decoder category are keys of our own, removed whole. The other values
// (the extension, the MIME type, the shell's thumbnail and preview handlers)
// live in keys others may share: unregistering removes a value only while it
// still holds what we wrote, and then each key on its path that is left empty.
#include <wincodec.h>

#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "wic/decoder.h"
#include "wic/guids.h"

namespace qvr::wic {
namespace {

// The shell's thumbnail provider and image preview handler for WIC images.
constexpr const wchar_t* THUMBNAIL_HANDLER_IID = L"{e357fccd-a995-4576-b01f-234630154e96}";
constexpr const wchar_t* PHOTO_THUMBNAIL_PROVIDER = L"{C7657C4A-9F68-40fa-A4DF-96BC08EB3551}";
constexpr const wchar_t* PREVIEW_HANDLER_IID = L"{8895b1c6-b41f-4c1c-a562-0d564250836f}";
constexpr const wchar_t* PHOTO_PREVIEW_HANDLER = L"{FFE2A43C-56B9-4bf5-9A79-CC6D4285608A}";

struct Entry {
    HKEY root;
    std::wstring key;
    const wchar_t* name;  // nullptr: the key's default value
    DWORD type;           // REG_NONE: the key alone
    std::vector<BYTE> data;
    size_t kept = 0;  // the leading characters of `key` that name a key never removed
};

// Explorer's kinds of file by extension: a key of the system's, which stays.
constexpr std::wstring_view KIND_MAP = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap";

std::wstring guidText(const GUID& guid) {
    wchar_t text[40];
    return StringFromGUID2(guid, text, 40) ? std::wstring(text) : std::wstring();
}

std::vector<BYTE> text(const std::wstring& value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(value.c_str());
    return {bytes, bytes + (value.size() + 1) * sizeof(wchar_t)};
}

std::vector<BYTE> dword(DWORD value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(&value);
    return {bytes, bytes + sizeof value};
}

std::wstring decoderKey() { return L"CLSID\\" + guidText(CLSID_QvrDecoder); }
std::wstring instanceKey() {
    return L"CLSID\\" + guidText(CATID_WICBitmapDecoders) + L"\\Instance\\" + guidText(CLSID_QvrDecoder);
}

// Everything but the decoder's own two keys, which registerDecoder adds.
std::vector<Entry> sharedEntries() {
    const std::wstring ext = QVR_EXTENSION;
    return {
        {HKEY_CLASSES_ROOT, ext, L"Content Type", REG_SZ, text(QVR_MIME_TYPE)},
        {HKEY_CLASSES_ROOT, ext, L"PerceivedType", REG_SZ, text(L"image")},
        {HKEY_CLASSES_ROOT, ext + L"\\ShellEx\\" + THUMBNAIL_HANDLER_IID, nullptr, REG_SZ,
         text(PHOTO_THUMBNAIL_PROVIDER)},
        {HKEY_CLASSES_ROOT, ext + L"\\ShellEx\\" + PREVIEW_HANDLER_IID, nullptr, REG_SZ, text(PHOTO_PREVIEW_HANDLER)},
        {HKEY_CLASSES_ROOT, L"SystemFileAssociations\\" + ext + L"\\ShellEx\\ContextMenuHandlers\\ShellImagePreview",
         nullptr, REG_SZ, text(PHOTO_PREVIEW_HANDLER)},
        {HKEY_CLASSES_ROOT, std::wstring(L"MIME\\Database\\Content Type\\") + QVR_MIME_TYPE, L"Extension", REG_SZ,
         text(ext)},
        {HKEY_LOCAL_MACHINE, std::wstring(KIND_MAP), QVR_EXTENSION, REG_SZ, text(L"picture"), KIND_MAP.size()},
    };
}

// On 64-bit Windows the extension's keys are one for both architectures and
// the shell that reads them is 64-bit: they belong to the 64-bit decoder, and
// the 32-bit one, running under WOW64, leaves them alone.
bool ownsSharedEntries() {
    BOOL wow64 = FALSE;
    return !IsWow64Process(GetCurrentProcess(), &wow64) || !wow64;
}

std::vector<Entry> decoderEntries(const wchar_t* dllPath) {
    const std::wstring clsid = decoderKey();
    const std::wstring pattern = clsid + L"\\Patterns\\0";
    const HKEY root = HKEY_CLASSES_ROOT;
    std::vector<Entry> entries = {
        {root, clsid, nullptr, REG_SZ, text(DECODER_NAME)},
        {root, clsid, L"FriendlyName", REG_SZ, text(DECODER_NAME)},
        {root, clsid, L"Author", REG_SZ, text(L"QVR project")},
        {root, clsid, L"Description", REG_SZ,
         text(L"Reads QVR images (8 bpp indexed, 16 bpp RGB with optional alpha)")},
        {root, clsid, L"Vendor", REG_SZ, text(guidText(GUID_VendorQvr))},
        {root, clsid, L"ContainerFormat", REG_SZ, text(guidText(GUID_ContainerFormatQvr))},
        {root, clsid, L"Version", REG_SZ, text(L"1.0.0.0")},
        {root, clsid, L"SpecVersion", REG_SZ, text(L"1.0.0.0")},
        {root, clsid, L"MimeTypes", REG_SZ, text(QVR_MIME_TYPE)},
        {root, clsid, L"FileExtensions", REG_SZ, text(QVR_EXTENSION)},
        {root, clsid, L"SupportAnimation", REG_DWORD, dword(0)},
        {root, clsid, L"SupportChromakey", REG_DWORD, dword(0)},
        {root, clsid, L"SupportLossless", REG_DWORD, dword(1)},
        {root, clsid, L"SupportMultiframe", REG_DWORD, dword(0)},
        {root, clsid + L"\\InprocServer32", nullptr, REG_SZ, text(dllPath)},
        {root, clsid + L"\\InprocServer32", L"ThreadingModel", REG_SZ, text(L"Both")},
        {root, clsid + L"\\Formats\\" + guidText(GUID_WICPixelFormat8bppIndexed), nullptr, REG_NONE, {}},
        {root, clsid + L"\\Formats\\" + guidText(GUID_WICPixelFormat24bppBGR), nullptr, REG_NONE, {}},
        {root, clsid + L"\\Formats\\" + guidText(GUID_WICPixelFormat32bppBGRA), nullptr, REG_NONE, {}},
        {root, pattern, L"Position", REG_DWORD, dword(0)},
        {root, pattern, L"Length", REG_DWORD, dword(sizeof QVR_PATTERN)},
        {root, pattern, L"Pattern", REG_BINARY, {std::begin(QVR_PATTERN), std::end(QVR_PATTERN)}},
        {root, pattern, L"Mask", REG_BINARY, std::vector<BYTE>(sizeof QVR_PATTERN, 0xFF)},
        {root, pattern, L"EndOfStream", REG_DWORD, dword(0)},
        {root, instanceKey(), L"CLSID", REG_SZ, text(guidText(CLSID_QvrDecoder))},
        {root, instanceKey(), L"FriendlyName", REG_SZ, text(DECODER_NAME)},
    };
    if (!ownsSharedEntries()) return entries;
    for (Entry& entry : sharedEntries()) entries.push_back(std::move(entry));
    return entries;
}

HRESULT fromWin32(LSTATUS status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

HRESULT write(const Entry& entry) {
    HKEY key = nullptr;
    LSTATUS status =
        RegCreateKeyExW(entry.root, entry.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return fromWin32(status);
    if (entry.type != REG_NONE)
        status =
            RegSetValueExW(key, entry.name, 0, entry.type, entry.data.data(), static_cast<DWORD>(entry.data.size()));
    RegCloseKey(key);
    return fromWin32(status);
}

bool holds(HKEY key, const Entry& entry) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, entry.name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    if (type != entry.type || size != entry.data.size()) return false;
    std::vector<BYTE> data(size);
    return RegQueryValueExW(key, entry.name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS && data == entry.data;
}

bool isEmpty(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD subkeys = 1, values = 1;
    const bool empty = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                        nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                       subkeys == 0 && values == 0;
    RegCloseKey(key);
    return empty;
}

// Removes the entry's value if it is still ours, then every empty key on its
// path below the kept part.
HRESULT remove(const Entry& entry) {
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(entry.root, entry.key.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND) return S_OK;
    if (status != ERROR_SUCCESS) return fromWin32(status);
    if (holds(key, entry)) status = RegDeleteValueW(key, entry.name);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return fromWin32(status);
    for (std::wstring path = entry.key; path.size() > entry.kept && isEmpty(entry.root, path);
         path.resize(path.find_last_of(L'\\') == std::wstring::npos ? 0 : path.find_last_of(L'\\'))) {
        status = RegDeleteKeyW(entry.root, path.c_str());
        if (status != ERROR_SUCCESS) return fromWin32(status);
    }
    return S_OK;
}

HRESULT removeTree(const std::wstring& path) {
    const LSTATUS status = RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());  // the key included
    return status == ERROR_FILE_NOT_FOUND ? S_OK : fromWin32(status);
}

}  // namespace

HRESULT registerDecoder(const wchar_t* dllPath) try {
    for (const Entry& entry : decoderEntries(dllPath)) {
        const HRESULT hr = write(entry);
        if (FAILED(hr)) {
            unregisterDecoder();
            return hr;
        }
    }
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT unregisterDecoder() try {
    HRESULT result = removeTree(decoderKey());
    const HRESULT instance = removeTree(instanceKey());
    if (SUCCEEDED(result)) result = instance;
    if (!ownsSharedEntries()) return result;
    for (const Entry& entry : sharedEntries()) {
        const HRESULT hr = remove(entry);
        if (SUCCEEDED(result)) result = hr;
    }
    return result;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

}  // namespace qvr::wic

// The decoder's identities, shared by the DLL and its test program, and the
// byte pattern that tells a QVR file: "QV", version 1, header size 48.
#pragma once

#include <windows.h>

namespace qvr::wic {

// {58AD4482-7860-44B5-BDF7-BD2E23BF2280}
inline constexpr GUID CLSID_QvrDecoder = {0x58ad4482, 0x7860, 0x44b5, {0xbd, 0xf7, 0xbd, 0x2e, 0x23, 0xbf, 0x22, 0x80}};
// {F4E8A549-BF21-4D33-84E4-A244A49F716B}
inline constexpr GUID GUID_ContainerFormatQvr = {
    0xf4e8a549, 0xbf21, 0x4d33, {0x84, 0xe4, 0xa2, 0x44, 0xa4, 0x9f, 0x71, 0x6b}};
// {380FA42B-8ED3-44E3-B5FE-70796A2AE6CE}
inline constexpr GUID GUID_VendorQvr = {0x380fa42b, 0x8ed3, 0x44e3, {0xb5, 0xfe, 0x70, 0x79, 0x6a, 0x2a, 0xe6, 0xce}};

inline constexpr BYTE QVR_PATTERN[] = {0x51, 0x56, 0x01, 0x00, 0x30, 0x00};

inline constexpr const wchar_t* DECODER_NAME = L"QVR Decoder";
inline constexpr const wchar_t* QVR_EXTENSION = L".qvr";
inline constexpr const wchar_t* QVR_MIME_TYPE = L"image/x-qvr";

}  // namespace qvr::wic

// Documents saved whole, exactly as the host holds them (mode, size, planes,
// colour tables, planar pixels), so that hosts built for different systems
// can compare what they opened and save the same document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/host/test_host.h"

namespace qvrhost {

// Both return "" on success, else the reason.
std::vector<uint8_t> documentBytes(const Document& document);  // what saveDocument writes
std::string saveDocument(const std::string& path, const Document& document);
std::string loadDocument(const std::string& path, Document& document);

// Files whose name ends in ".doc" are documents.
bool isDocumentPath(const std::string& path);

}  // namespace qvrhost

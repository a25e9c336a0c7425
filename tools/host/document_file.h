// Documents saved whole, exactly as the host holds them (mode, size, planes,
// colour tables, planar pixels), so that hosts built for different systems
// can compare what they opened and save the same document.
#pragma once

#include <string>

#include "tools/host/test_host.h"

namespace qvrhost {

// Both return "" on success, else a message.
std::string saveDocument(const std::string& path, const Document& document);
std::string loadDocument(const std::string& path, Document& document);

// Files whose name ends in ".doc" are documents.
bool isDocumentPath(const std::string& path);

}  // namespace qvrhost

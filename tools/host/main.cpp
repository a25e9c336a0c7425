// qvrhost: drives the QVR module through its entry point, as the editor would,
// and prints the result code of every selector call.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "streams/image_io.h"
#include "tools/host/document_file.h"
#include "tools/host/module_loader.h"
#include "tools/host/test_host.h"
#if QVR_HOST_PNG
#include "tools/common/image_convert.h"
#include "tools/common/png_io.h"
#include "tools/host/document_convert.h"
#endif

namespace {

using namespace qvrhost;

constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char* const USAGE =
    "usage: qvrhost open FILE OUT.png|OUT.doc\n"
    "       qvrhost save IN.png|IN.doc OUT.qvr [--mode indexed|rgb|rgba]\n"
    "       qvrhost filter FILE\n"
    "       qvrhost estimate IN.png|IN.doc [--mode indexed|rgb|rgba]\n"
    "       qvrhost about\n"
    "       qvrhost time IN.qvr OUT.qvr   (open and save through the module, then the codec over memory)\n"
    "  .doc files hold the host's document exactly as it holds it\n"
    "  [--module PATH] loads the module from PATH where modules are loaded at run time\n";

int usage(const std::string& message) {
    std::fprintf(stderr, "qvrhost: %s\n%s", message.c_str(), USAGE);
    return EXIT_USAGE;
}

int report(const TestHost& host, int16_t final) {
    for (const SelectorResult& r : host.results) {
        if (r.selector == formatSelectorAbout) std::printf("%-16s (no result code)\n", "About");
        else std::printf("%-16s %d\n", selectorName(r.selector), r.result);
    }
    return final == 0 ? 0 : EXIT_FAILED;
}

// Reads a document file, or a PNG into a document of the mode asked for
// (empty: the PNG's own kind).
std::string readDocument(const std::string& path, const std::string& mode, Document& document) {
    if (isDocumentPath(path)) return loadDocument(path, document);
#if QVR_HOST_PNG
    qvr::PngImage png;
    std::string problem = qvr::readPng(path, png);
    if (!problem.empty()) return problem;
    const int32_t depth = mode == "indexed" ? 8 : mode == "rgb" ? 24 : mode == "rgba" ? 32 : 0;
    qvr::RasterImage image;
    problem = qvr::imageAtDepth(png.image, depth, image, nullptr);
    if (problem.empty()) document = documentFromRaster(image);
    return problem;
#else
    (void)mode;
    (void)document;
    return "this build reads .doc files only";
#endif
}

std::string writeDocument(const std::string& path, Document& document) {
    if (isDocumentPath(path)) return saveDocument(path, document);
#if QVR_HOST_PNG
    return qvr::writePng(path, rasterFromDocument(document));
#else
    return "this build writes .doc files only";
#endif
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Times an open of IN and a save of what it opened to OUT through the module,
// then the codec decoding and encoding the same file in memory; the module must
// write the bytes the codec writes.
int timeModule(TestHost& host, const std::string& in, const std::string& out) {
    auto start = std::chrono::steady_clock::now();
    const int16_t opened = host.open(in);
    const double openMs = millisecondsSince(start);
    start = std::chrono::steady_clock::now();
    const int16_t saved = opened == 0 ? host.save(out) : opened;
    const double saveMs = millisecondsSince(start);
    if (saved != 0) return report(host, saved);

    qvr::MemoryStream source(fileBytes(in));
    qvr::RasterImage image;
    start = std::chrono::steady_clock::now();
    std::string problem = qvr::loadQvr(source, image);
    const double decodeMs = millisecondsSince(start);
    qvr::MemoryStream encoded;
    start = std::chrono::steady_clock::now();
    if (problem.empty()) problem = qvr::saveQvr(encoded, image);
    const double encodeMs = millisecondsSince(start);
    if (!problem.empty() || encoded.bytes() != fileBytes(out)) {
        std::fprintf(stderr, "qvrhost: the module and the codec disagree on %s %s\n", in.c_str(), problem.c_str());
        return EXIT_FAILED;
    }
    std::printf("open through the module  %9.1f ms\nsave through the module  %9.1f ms\n", openMs, saveMs);
    std::printf("decode in memory         %9.1f ms\nencode in memory         %9.1f ms\n", decodeMs, encodeMs);
    return 0;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage("no command given");
    std::vector<std::string> operands;
    std::string mode, modulePath;
    for (size_t i = 1; i < args.size(); ++i) {
        if ((args[i] == "--mode" || args[i] == "--module") && i + 1 < args.size()) {
            (args[i] == "--mode" ? mode : modulePath) = args[i + 1];
            ++i;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usage("unknown option " + args[i]);
        } else {
            operands.push_back(args[i]);
        }
    }
    if (!mode.empty() && mode != "indexed" && mode != "rgb" && mode != "rgba")
        return usage("--mode takes indexed, rgb or rgba");
    std::string loadError;
    PluginEntryProc entry = loadModule(modulePath, &loadError);
    if (!entry) {
        std::fprintf(stderr, "qvrhost: %s\n", loadError.c_str());
        return EXIT_FAILED;
    }
    TestHost host(entry);
    const std::string& command = args[0];
    if (command == "about" && operands.empty()) {
        host.about(0);
        return report(host, 0);
    }
    if (command == "time" && operands.size() == 2) return timeModule(host, operands[0], operands[1]);
    if (command == "filter" && operands.size() == 1) return report(host, host.filterFile(operands[0]));
    if (command == "open" && operands.size() == 2) {
        const int16_t result = host.open(operands[0]);
        int status = report(host, result);
        if (result == 0) {
            const std::string problem = writeDocument(operands[1], host.document());
            if (!problem.empty()) {
                std::fprintf(stderr, "qvrhost: %s: %s\n", operands[1].c_str(), problem.c_str());
                status = EXIT_FAILED;
            }
        }
        return status;
    }
    if ((command == "save" && operands.size() == 2) || (command == "estimate" && operands.size() == 1)) {
        const std::string problem = readDocument(operands[0], mode, host.document());
        if (!problem.empty()) {
            std::fprintf(stderr, "qvrhost: %s: %s\n", operands[0].c_str(), problem.c_str());
            return EXIT_FAILED;
        }
        if (command == "save") return report(host, host.save(operands[1]));
        int32_t minBytes = 0, maxBytes = 0;
        const int16_t result = host.estimate(&minBytes, &maxBytes);
        const int status = report(host, result);
        std::printf("minDataBytes %d\nmaxDataBytes %d\n", minBytes, maxBytes);
        return status;
    }
    return usage("unknown command or wrong number of operands");
}

}  // namespace

int main(int argc, char** argv) { return run(std::vector<std::string>(argv + 1, argv + argc)); }

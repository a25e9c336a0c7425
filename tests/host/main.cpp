// qvrhost: drives the QVR module through its entry point, as the editor would,
// and prints the result code of every selector call.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "streams/image_io.h"
#include "tests/host/document_file.h"
#include "tests/host/module_loader.h"
#include "tests/host/test_host.h"
#if QVR_HOST_PNG
#include <sys/stat.h>

#include "tools/common/image_convert.h"
#include "tools/common/messages.h"
#include "tools/common/png_io.h"
#include "tools/common/safe_output.h"
#include "tests/host/document_convert.h"
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
    "  [--module PATH] loads the module from PATH where modules are loaded at run time\n"
    "  -- ends the options\n";

int usage(const std::string& message) {
    std::fprintf(stderr, "qvrhost: %s\n%s", message.c_str(), USAGE);
    return EXIT_USAGE;
}

// Every failure is one line naming the input, the step and the reason, as qvr prints it.
int failed(const std::string& input, const std::string& step, const std::string& reason) {
    std::fprintf(stderr, "qvrhost: %s: %s: %s\n", input.c_str(), step.c_str(), reason.c_str());
    return EXIT_FAILED;
}

// The module's result codes in a user's words.
std::string resultWords(int16_t result) {
    switch (result) {
    case readErr: return "read error";
    case writErr: return "write error";
    case dskFulErr: return std::strerror(ENOSPC);
    case eofErr: return "the data ends too early";
    case memFullErr: return "out of memory";
    case FILE_NOT_FOUND: return std::strerror(ENOENT);
    case formatBadParameters:
        return "the module refused the document (only indexed colour and RGB documents of " QVR_SIZE_RANGE
               " can be saved)";
    case formatCannotRead: return "the module cannot read it (a damaged file, or not a QVR file)";
    default: return "the module answered result code " + std::to_string(result);
    }
}

int report(const TestHost& host, int16_t final) {
    for (const SelectorResult& r : host.results) {
        if (r.selector == formatSelectorAbout)
            std::printf("%-16s (no result code)\n", "About");
        else
            std::printf("%-16s %d\n", selectorName(r.selector), r.result);
    }
    std::fflush(stdout);
    return final == 0 ? 0 : EXIT_FAILED;
}

// The step that failed when reading a document: "reading" or "converting".
struct Problem {
    std::string step;
    std::string reason;
};

// Reads a document file, or a PNG into a document of the mode asked for
// (empty: the PNG's own kind).
Problem readDocument(const std::string& path, const std::string& mode, Document& document) {
    if (isDocumentPath(path)) return {"reading", loadDocument(path, document)};
#if QVR_HOST_PNG
    qvr::PngImage png;
    std::string problem = qvr::readPng(path, png);
    if (!problem.empty()) return {"reading", problem};
    const int32_t depth = mode == "indexed" ? 8 : mode == "rgb" ? 24 : mode == "rgba" ? 32 : 0;
    qvr::RasterImage image;
    std::string note;  // a palette no 8 bpp file holds, made RGB
    problem = qvr::pngAtDepth(std::move(png), depth, image, &note);
    if (!note.empty()) std::fprintf(stderr, "qvrhost: %s: note: %s\n", path.c_str(), note.c_str());
    if (problem.empty()) document = documentFromRaster(image);
    return {"converting", problem};
#else
    (void)mode;
    (void)document;
    return {"reading", "this build reads .doc files only"};
#endif
}

std::string writeDocument(const std::string& path, Document& document) {
#if QVR_HOST_PNG
    if (isDocumentPath(path)) {
        const std::vector<uint8_t> bytes = documentBytes(document);
        return qvr::writeFileSafely(path, bytes.data(), bytes.size());
    }
    return qvr::writePng(path, rasterFromDocument(document));
#else
    if (isDocumentPath(path)) return saveDocument(path, document);
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
// write the bytes the codec writes. OUT is replaced only by a complete save.
int timeModule(TestHost& host, const std::string& in, const std::string& out) {
    const std::string step = "writing " + out;
#if QVR_HOST_PNG
    const std::string unreadable = qvr::inputProblem(in, true);
    if (!unreadable.empty()) return failed(in, "reading", unreadable);
    if (qvr::sameFile(in, out)) return failed(in, step, "the output is the input file");
    qvr::SafeOutput output;
    const std::string refused = output.open(out);
    if (!refused.empty()) return failed(in, step, refused);
#endif
    auto start = std::chrono::steady_clock::now();
    const int16_t opened = host.open(in);
    const double openMs = millisecondsSince(start);
    const double openCopyMs = 1000 * host.transferSeconds;
    if (opened != 0) {
        report(host, opened);
        return failed(in, "reading", resultWords(opened));
    }
    start = std::chrono::steady_clock::now();
#if QVR_HOST_PNG
    const int16_t saved = host.save(static_cast<intptr_t>(output.descriptor()));
    const std::string committed = saved == 0 ? output.commit() : "";
#else
    const int16_t saved = host.save(out);
    const std::string committed;
#endif
    const double saveMs = millisecondsSince(start);
    const double saveCopyMs = 1000 * host.transferSeconds - openCopyMs;
    if (saved != 0) {
        report(host, saved);
        return failed(in, step, resultWords(saved));
    }
    if (!committed.empty()) return failed(in, step, committed);

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
    // The module's own share: less the time the host spent moving pixels
    // between the module's buffers and its planar document.
    std::printf("open, the module alone   %9.1f ms\nsave, the module alone   %9.1f ms\n", openMs - openCopyMs,
                saveMs - saveCopyMs);
    std::printf("decode in memory         %9.1f ms\nencode in memory         %9.1f ms\n", decodeMs, encodeMs);
    // The memory path, which the library's calls take.
    const std::vector<uint8_t> file = fileBytes(in);
    qvr::RasterImage fast;
    start = std::chrono::steady_clock::now();
    problem = qvr::loadQvrMemory(file.data(), file.size(), fast);
    const double fastDecodeMs = millisecondsSince(start);
    std::vector<uint8_t> fastBytes;
    start = std::chrono::steady_clock::now();
    if (problem.empty()) problem = qvr::saveQvrMemory(fast, fastBytes);
    const double fastEncodeMs = millisecondsSince(start);
    if (!problem.empty() || fastBytes != encoded.bytes()) {
        std::fprintf(stderr, "qvrhost: the memory path disagrees on %s %s\n", in.c_str(), problem.c_str());
        return EXIT_FAILED;
    }
    std::printf("decode, memory path      %9.1f ms\nencode, memory path      %9.1f ms\n", fastDecodeMs, fastEncodeMs);
    return 0;
}

// Saves the document through the module. Where the file layer allows, the
// module writes a temporary file that replaces `path` only once it succeeded.
int saveCommand(TestHost& host, const std::string& input, const std::string& path) {
    const std::string step = "writing " + path;
#if QVR_HOST_PNG
    if (qvr::sameFile(input, path)) return failed(input, step, "the output is the input file");
    qvr::SafeOutput output;
    const std::string problem = output.open(path);
    if (!problem.empty()) return failed(input, step, problem);
    const int16_t result = host.save(static_cast<intptr_t>(output.descriptor()));
    const int status = report(host, result);
    if (result != 0) return failed(input, step, resultWords(result));
    const std::string committed = output.commit();
    if (!committed.empty()) return failed(input, step, committed);
    return status;
#else
    const int16_t result = host.save(path);
    const int status = report(host, result);
    return result != 0 ? failed(input, step, resultWords(result)) : status;
#endif
}

int openCommand(TestHost& host, const std::string& input, const std::string& output) {
#if QVR_HOST_PNG
    const std::string unreadable = qvr::inputProblem(input, true);
    if (!unreadable.empty()) return failed(input, "reading", unreadable);
    if (qvr::sameFile(input, output)) return failed(input, "writing " + output, "the output is the input file");
#endif
    const int16_t result = host.open(input);
    const int status = report(host, result);
    if (result != 0) return failed(input, "reading", resultWords(result));
    const std::string problem = writeDocument(output, host.document());
    if (!problem.empty()) return failed(input, "writing " + output, problem);
    return status;
}

int runCommand(TestHost& host, const std::string& command, const std::vector<std::string>& operands,
               const std::string& mode, std::string& step);

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage("no command given");
    std::vector<std::string> operands;
    std::string mode, modulePath;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        if (optionsEnded || args[i].size() < 2 || args[i][0] != '-') {
            operands.push_back(args[i]);
        } else if (args[i] == "--") {
            optionsEnded = true;
        } else if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if ((args[i] == "--mode" || args[i] == "--module") && i + 1 < args.size()) {
            (args[i] == "--mode" ? mode : modulePath) = args[i + 1];
            ++i;
        } else {
            return usage("unknown option " + args[i]);
        }
    }
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (!mode.empty() && mode != "indexed" && mode != "rgb" && mode != "rgba")
        return usage("--mode takes indexed, rgb or rgba");
    std::string loadError;
    PluginEntryProc entry = loadModule(modulePath, &loadError);
    if (!entry) return failed(modulePath.empty() ? "qvr.8bi" : modulePath, "loading the module", loadError);
    TestHost host(entry);
    std::string step = "reading";  // what a failed allocation interrupted
    try {
        return runCommand(host, args[0], operands, mode, step);
    } catch (const std::bad_alloc&) {
        return failed(operands.empty() ? args[0] : operands[0], step, "out of memory");
    }
}

int runCommand(TestHost& host, const std::string& command, const std::vector<std::string>& operands,
               const std::string& mode, std::string& step) {
    if (command == "about" && operands.empty()) {
        host.about(0);
        return report(host, 0);
    }
    if (command == "time" && operands.size() == 2) return timeModule(host, operands[0], operands[1]);
    if (command == "filter" && operands.size() == 1) {
#if QVR_HOST_PNG
        // A pipe would keep the module waiting for a writer: refused at once, as open refuses it.
        // (A folder still goes to the module, which answers for it.)
        struct stat info {};
        const bool folder = ::stat(operands[0].c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        const std::string unseekable = folder ? "" : qvr::inputProblem(operands[0], true);
        if (!unseekable.empty()) return failed(operands[0], "reading", unseekable);
#endif
        const int16_t result = host.filterFile(operands[0]);
        const int status = report(host, result);
        return result != 0 ? failed(operands[0], "reading", resultWords(result)) : status;
    }
    if (command == "open" && operands.size() == 2) return openCommand(host, operands[0], operands[1]);
    if ((command == "save" && operands.size() == 2) || (command == "estimate" && operands.size() == 1)) {
        const Problem problem = readDocument(operands[0], mode, host.document());
        if (!problem.reason.empty()) return failed(operands[0], problem.step, problem.reason);
        step = command == "save" ? "writing " + operands[1] : "estimating";
        if (command == "save") return saveCommand(host, operands[0], operands[1]);
        int32_t minBytes = 0, maxBytes = 0;
        const int16_t result = host.estimate(&minBytes, &maxBytes);
        const int status = report(host, result);
        std::printf("minDataBytes %d\nmaxDataBytes %d\n", minBytes, maxBytes);
        return result != 0 ? failed(operands[0], "estimating", resultWords(result)) : status;
    }
    return usage("unknown command or wrong number of operands");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        std::fputs("qvrhost: out of memory\n", stderr);
        return EXIT_FAILED;
    }
}

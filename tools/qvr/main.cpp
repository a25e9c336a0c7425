// qvr: converts between QVR and PNG files and describes QVR files.
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "streams/image_io.h"
#include "tools/common/image_convert.h"
#include "tools/common/progress_bar.h"
#include "tools/common/png_io.h"

namespace {

using namespace qvr;

constexpr int EXIT_FILE_FAILED = 1;
constexpr int EXIT_USAGE = 2;

const char* const USAGE =
    "usage: qvr info FILE...\n"
    "       qvr decode IN.qvr OUT.png | qvr decode IN.qvr... -o DIR\n"
    "       qvr encode IN.png OUT.qvr | qvr encode IN.png... -o DIR   [--depth 8|24|32]\n"
    "       qvr --help\n";

const char* const HELP =
    "qvr converts QVR images to and from PNG.\n"
    "\n"
    "  qvr info FILE...        kind, size, depth and offsets of each file, and whether\n"
    "                          its header is valid\n"
    "  qvr decode IN OUT.png   indexed files become 256-entry palette PNGs (entry 246 is\n"
    "                          white, as every reader makes it), 16 bpp files RGB PNGs,\n"
    "                          files with an alpha plane RGBA PNGs\n"
    "  qvr encode IN.png OUT   palette PNGs become 8 bpp files, RGB and grey PNGs 16 bpp\n"
    "                          files, PNGs with transparency 16 bpp files with alpha\n"
    "      --depth 8|24|32     choose instead: 8 indexed (a palette is built when the\n"
    "                          image has at most 256 colours), 24 RGB, 32 RGB + alpha\n"
    "  -o DIR                  convert any number of files into DIR, each named after\n"
    "                          its input; a file that fails does not stop the others\n"
    "  --quiet                 no progress bar and no line per converted file\n"
    "\n"
    "What QVR keeps: 8 bpp indices and palette exactly, except that index 255 reads\n"
    "back as 246 and entry 246 as white; colour as 5-6-5 RGB; alpha exactly, except\n"
    "that 255 reads back as 246. Sizes: 2 to 8191 columns, 1 to 8191 rows.\n"
    "\n"
    "Exit status: 0 success, 1 a file failed, 2 usage error.\n";

struct Options {
    int32_t depth = 0;
    std::string outputDir;
    bool quiet = false;
};

int usageError(const std::string& message) {
    std::fprintf(stderr, "qvr: %s\n%s", message.c_str(), USAGE);
    return EXIT_USAGE;
}

int fileError(const std::string& file, const std::string& message) {
    std::fprintf(stderr, "qvr: %s: %s\n", file.c_str(), message.c_str());
    return EXIT_FILE_FAILED;
}

const char* kindName(int32_t depth) {
    switch (depth) {
    case 8: return "8 bpp indexed";
    case 24: return "16 bpp RGB 5-6-5";
    case 32: return "16 bpp RGB 5-6-5 with alpha plane";
    default: return "unknown";
    }
}

int infoCommand(const std::vector<std::string>& files) {
    if (files.empty()) return usageError("info needs at least one file");
    int status = 0;
    for (const std::string& path : files) {
        FileStream stream(path, FileStream::Mode::Read);
        if (!stream.isOpen()) {
            status = fileError(path, "cannot open");
            continue;
        }
        const QvrInfo info = inspectQvr(stream);
        const FileHeader& h = info.header;
        if (!info.valid) {
            std::printf("%s: not a QVR file (header invalid)\n", path.c_str());
            status = EXIT_FILE_FAILED;
            continue;
        }
        std::printf("%s: QVR %s, %u x %u, depth %d, data at %u, ", path.c_str(), kindName(info.depth),
                    h.width, h.height, info.depth, h.dataOffset);
        if (info.depth == 24) std::printf("no alpha plane, header valid\n");
        else std::printf("%s at %u, header valid\n", info.depth == 8 ? "palette" : "alpha", h.auxOffset);
    }
    return status;
}

void reportDone(const Options& options, const std::string& in, const std::string& out,
                const RasterImage& image) {
    if (options.quiet) return;
    std::printf("%s -> %s: %s, %d x %d\n", in.c_str(), out.c_str(), kindName(image.depth),
                image.width, image.height);
}

int decodeFile(const std::string& in, const std::string& out, const Options& options) {
    FileStream stream(in, FileStream::Mode::Read);
    if (!stream.isOpen()) return fileError(in, "cannot open");
    const QvrInfo info = inspectQvr(stream);
    ProgressBar bar(in, info.depth == 32 ? 2 : 1, !options.quiet && stderrIsTerminal());
    stream.onProgress(ProgressBar::report, &bar);
    RasterImage image;
    const std::string problem = loadQvr(stream, image);
    bar.clear();
    if (!problem.empty()) return fileError(in, problem);
    const std::string written = writePng(out, image);
    if (!written.empty()) return fileError(out, written);
    reportDone(options, in, out, image);
    return 0;
}

int encodeFile(const std::string& in, const std::string& out, const Options& options) {
    PngImage png;
    std::string problem = readPng(in, png);
    if (!problem.empty()) return fileError(in, problem);
    RasterImage image;
    bool lossy = false;
    problem = imageAtDepth(png.image, options.depth, image, &lossy);
    if (!problem.empty()) return fileError(in, problem);
    if (lossy) std::fprintf(stderr, "qvr: %s: note: more than 254 colours besides white; the extra ones read back as white\n", in.c_str());
    FileStream stream(out, FileStream::Mode::Write);
    if (!stream.isOpen()) return fileError(out, "cannot create");
    ProgressBar bar(in, image.depth == 32 ? 2 : 1, !options.quiet && stderrIsTerminal());
    stream.onProgress(ProgressBar::report, &bar);
    problem = saveQvr(stream, image);
    bar.clear();
    if (!stream.close() && problem.empty()) problem = "write error (is the disk full?)";
    if (!problem.empty()) {
        std::remove(out.c_str());
        return fileError(out, problem);
    }
    reportDone(options, in, out, image);
    return 0;
}

// IN OUT, or any number of inputs with -o DIR (each output named after its input).
int convertCommand(const std::string& command, const std::vector<std::string>& operands,
                   const Options& options) {
    const bool decoding = command == "decode";
    const char* extension = decoding ? ".png" : ".qvr";
    std::vector<std::pair<std::string, std::string>> jobs;
    if (!options.outputDir.empty()) {
        if (operands.empty()) return usageError(command + " -o DIR needs at least one input");
        if (!std::filesystem::is_directory(options.outputDir))
            return usageError("-o " + options.outputDir + ": no such folder");
        for (const std::string& in : operands)
            jobs.emplace_back(in, (std::filesystem::path(options.outputDir) /
                                   std::filesystem::path(in).stem()).string() + extension);
    } else if (operands.size() == 2) {
        jobs.emplace_back(operands[0], operands[1]);
    } else {
        return usageError(command + (decoding ? " takes IN.qvr OUT.png, or IN.qvr... -o DIR"
                                               : " takes IN.png OUT.qvr, or IN.png... -o DIR"));
    }
    int status = 0;
    for (const auto& [in, out] : jobs) {
        const int result = decoding ? decodeFile(in, out, options) : encodeFile(in, out, options);
        if (result != 0) status = result;
    }
    return status;
}

bool parseDepth(const std::string& text, int32_t* depth) {
    if (text == "8" || text == "24" || text == "32") {
        *depth = std::stoi(text);
        return true;
    }
    return false;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usageError("no command given");
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(HELP, stdout);
        std::fputs(USAGE, stdout);
        return 0;
    }
    std::vector<std::string> operands;
    Options options;
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--depth") {
            if (command != "encode") return usageError("--depth goes with encode");
            if (i + 1 == args.size() || !parseDepth(args[i + 1], &options.depth))
                return usageError("--depth takes 8, 24 or 32");
            ++i;
        } else if (args[i] == "-o") {
            if (i + 1 == args.size()) return usageError("-o takes a folder");
            options.outputDir = args[++i];
        } else if (args[i] == "--quiet" || args[i] == "-q") {
            options.quiet = true;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usageError("unknown option " + args[i]);
        } else {
            operands.push_back(args[i]);
        }
    }
    if (command == "info") return infoCommand(operands);
    if (command == "decode" || command == "encode") return convertCommand(command, operands, options);
    return usageError("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return run(args);
}

// qvr: converts between QVR and PNG files and describes QVR files.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "library/raster_decode.h"
#include "library/rules.h"
#include "qvr/qvr.h"
#include "streams/image_io.h"
#include "tools/common/image_convert.h"
#include "tools/common/messages.h"
#include "tools/common/png_io.h"
#include "tools/common/progress_bar.h"
#include "tools/common/safe_output.h"

namespace {

using namespace qvr;

constexpr int EXIT_FILE_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int MAX_JOBS = 1024;
const char* const TOOL = "qvr";

const char* const USAGE =
    "usage: qvr info FILE...\n"
    "       qvr decode IN.qvr OUT.png | qvr decode IN.qvr... -o DIR [-j N]\n"
    "       qvr encode IN.png OUT.qvr | qvr encode IN.png... -o DIR [-j N]   [--depth 8|24|32]\n"
    "       qvr --help\n";

const char* const HELP =
    "qvr converts QVR images to and from PNG.\n"
    "\n"
    "  qvr info FILE...        kind, size, depth and offsets of each file, and whether\n"
    "                          its header is valid and its offsets lie inside the file\n"
    "  qvr decode IN OUT.png   indexed files become 256-entry palette PNGs (entry 246 is\n"
    "                          white, as every reader makes it), 16 bpp files RGB PNGs,\n"
    "                          files with an alpha plane RGBA PNGs\n"
    "  qvr encode IN.png OUT   palette PNGs become 8 bpp files (16 bpp, with a note, when\n"
    "                          more than 254 colours besides white), RGB and grey PNGs\n"
    "                          16 bpp files, PNGs with a pixel that is not opaque (palette\n"
    "                          ones too) 16 bpp files with alpha\n"
    "      --depth 8|24|32     choose instead: 8 indexed (a palette is built when the\n"
    "                          image has at most 254 colours besides white, and no\n"
    "                          transparency), 24 RGB, 32 RGB + alpha (always)\n"
    "  -o DIR                  convert any number of files into DIR (made if missing),\n"
    "                          each named after its input; a file that fails does not\n"
    "                          stop the others; two inputs with one output name are refused\n"
    "  -j N                    convert N files at a time with -o, 1 to 1024 (default:\n"
    "                          one per core)\n"
    "  -q, --quiet             no progress bar and no line per converted file\n"
    "  --                      what follows is a file name, even if it starts with -\n"
    "\n"
    "What QVR keeps: 8 bpp indices and palette exactly, except that index 255 reads\n"
    "back as 246 and entry 246 as white, so an 8 bpp file holds at most 254 colours\n"
    "besides white (qvr renumbers or refuses rather than change a colour); colour as\n"
    "5-6-5 RGB; alpha exactly, except that 255 reads back as 246. Sizes: " QVR_SIZE_RANGE
    ".\n"
    "An existing output file is replaced only once the new one is complete.\n"
    "\n"
    "Exit status: 0 success, 1 a file failed, 2 usage error.\n";

struct Options {
    int32_t depth = 0;
    std::string outputDir;
    bool batch = false;  // -o given
    bool quiet = false;
    int jobs = 0;  // 0: one per core
};

struct Job {
    std::string in;
    std::string out;
};

// What converting one file came to: its exit status and the lines it prints.
struct Outcome {
    int status = 0;
    std::string out;  // for stdout
    std::string err;  // for stderr
};

const std::string JOBS_RANGE = " takes a number of files at a time, 1 to " + std::to_string(MAX_JOBS);

int usageError(const std::string& message) {
    std::fprintf(stderr, "qvr: %s\n%s", message.c_str(), USAGE);
    return EXIT_USAGE;
}

Outcome failure(const std::string& input, const std::string& step, const std::string& reason) {
    return Outcome{EXIT_FILE_FAILED, "", failureLine(TOOL, input, step, reason)};
}

// A line that tells what a conversion did not keep, without failing it.
std::string noteLine(const std::string& input, const std::string& note) {
    return note.empty() ? "" : std::string(TOOL) + ": " + input + ": note: " + note + "\n";
}

// Why a file's size cannot hold the rows its header promises, or "": found
// before any pixel memory is spent.
std::string tooShort(const std::string& path, const FileHeader& header) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    const FileSpan span = fileSpan(header);
    if (error || size >= span.least) return "";
    return "damaged file: its " + std::to_string(size) + " bytes cannot hold the rows of a " +
           std::to_string(header.width) + " x " + std::to_string(header.height) + " image (at least " +
           std::to_string(span.least) + " bytes)";
}

const char* kindName(int32_t depth) {
    switch (depth) {
    case 8: return "8 bpp indexed";
    case 24: return "16 bpp RGB 5-6-5";
    case 32: return "16 bpp RGB 5-6-5 with alpha plane";
    default: return "unknown";
    }
}

Outcome converted(const Options& options, const Job& job, const RasterImage& image) {
    Outcome outcome;
    if (!options.quiet)
        outcome.out = job.in + " -> " + job.out + ": " + kindName(image.depth) + ", " + std::to_string(image.width) +
                      " x " + std::to_string(image.height) + "\n";
    return outcome;
}

Outcome describeFile(const std::string& path) {
    const std::string unreadable = inputProblem(path, true);
    if (!unreadable.empty()) return failure(path, "reading", unreadable);
    FileStream stream(path, FileStream::Mode::Read);
    if (!stream.isOpen()) return failure(path, "reading", systemReason(errno));
    const QvrInfo info = inspectQvr(stream);
    if (!info.valid) return failure(path, "reading", NOT_QVR_TEXT);
    const FileHeader& h = info.header;
    std::string line = path + ": QVR " + kindName(info.depth) + ", " + std::to_string(h.width) + " x " +
                       std::to_string(h.height) + ", depth " + std::to_string(info.depth) + ", data at " +
                       std::to_string(h.dataOffset) + ", ";
    if (info.depth == 24)
        line += "no alpha plane";
    else
        line += std::string(info.depth == 8 ? "palette" : "alpha") + " at " + std::to_string(h.auxOffset);
    if (!info.offsetProblem.empty()) {
        Outcome outcome = failure(path, "reading", info.offsetProblem);
        outcome.out = line + "\n";
        return outcome;
    }
    return Outcome{0, line + ", header valid\n", ""};
}

int infoCommand(const std::vector<std::string>& files) {
    if (files.empty()) return usageError("info needs at least one file");
    int status = 0;
    for (const std::string& path : files) {
        const Outcome outcome = describeFile(path);
        std::fputs(outcome.out.c_str(), stdout);
        std::fputs(outcome.err.c_str(), stderr);
        if (outcome.status != 0) status = outcome.status;
    }
    return status;
}

// A file behind the library decoder's reader procedures.
int64_t readFile(void* user, void* buffer, size_t size) {
    auto* file = static_cast<std::FILE*>(user);
    const size_t n = std::fread(buffer, 1, size, file);
    return n == 0 && std::ferror(file) ? -1 : static_cast<int64_t>(n);
}
int seekFile(void* user, uint64_t offset) {
    return offset > LONG_MAX || std::fseek(static_cast<std::FILE*>(user), static_cast<long>(offset), SEEK_SET) != 0 ? -1
                                                                                                                    : 0;
}

// Decodes through the library's streaming decoder, which reads the file in
// chunks and reports each row. "" or why not: for a damaged file, the
// codec's own account (the plane, the row, and whether the data ended or a
// row ran past the width).
std::string decodeStreaming(const std::string& path, RasterImage& image, ProgressBar& bar) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return systemReason(errno);
    const qvr_reader reader{file.get(), readFile, seekFile, nullptr};
    const qvr_error error = decodeIntoRaster(reader, image, ProgressBar::report, &bar);
    if (error == QVR_OK) return "";
    if (error == QVR_ERROR_OUT_OF_MEMORY) throw std::bad_alloc();
    if (error != QVR_ERROR_DAMAGED && error != QVR_ERROR_NOT_QVR) return qvr_error_string(error);
    FileStream again(path, FileStream::Mode::Read);
    RasterImage scratch;
    const std::string problem = loadQvr(again, scratch);
    return problem.empty() ? qvr_error_string(error) : problem;
}

// Each converter keeps `step` naming what it is doing, for a failure that
// interrupts it (an allocation that fails).
Outcome decodeFile(const Job& job, const Options& options, ProgressBar& bar, std::string& step) {
    step = "reading";
    const std::string unreadable = inputProblem(job.in, true);
    if (!unreadable.empty()) return failure(job.in, "reading", unreadable);
    QvrInfo info;
    {
        FileStream stream(job.in, FileStream::Mode::Read);
        if (!stream.isOpen()) return failure(job.in, "reading", systemReason(errno));
        info = inspectQvr(stream);
    }
    if (!info.offsetProblem.empty()) return failure(job.in, "reading", info.offsetProblem);
    if (info.valid) {
        const std::string shortFile = tooShort(job.in, info.header);
        if (!shortFile.empty()) return failure(job.in, "reading", shortFile);
    }
    bar.expectPasses(1);  // the decoder counts both planes' rows in one pass
    RasterImage image;
    const std::string problem = decodeStreaming(job.in, image, bar);
    bar.clear();
    if (!problem.empty()) return failure(job.in, "reading", problem);
    step = "writing " + job.out;
    const std::string written = writePng(job.out, image);
    if (!written.empty()) return failure(job.in, "writing " + job.out, written);
    return converted(options, job, image);
}

Outcome encodeFile(const Job& job, const Options& options, ProgressBar& bar, std::string& step) {
    step = "reading";
    PngImage png;
    bar.expectPasses(2);  // reading, then encoding at least one plane
    std::string problem = readPng(job.in, png, ProgressBar::report, &bar);
    if (!problem.empty()) return failure(job.in, "reading", problem);
    step = "converting";
    RasterImage image;
    std::string depthNote;
    const std::string notes = noteLine(job.in, png.note);
    problem = pngAtDepth(std::move(png), options.depth, image, &depthNote);  // its pixels move, not copied
    if (!problem.empty()) return failure(job.in, "converting", problem);
    bar.expectPasses(1 + (image.depth == 32 ? 2 : 1));
    OwnedBytes bytes;
    problem = saveQvrMemory(image, bytes, ProgressBar::report, &bar);
    bar.clear();
    if (!problem.empty()) return failure(job.in, "converting", problem);
    step = "writing " + job.out;
    problem = writeFileSafely(job.out, bytes.data.get(), bytes.size);
    if (!problem.empty()) return failure(job.in, "writing " + job.out, problem);
    Outcome outcome = converted(options, job, image);
    outcome.err = notes + noteLine(job.in, depthNote);
    return outcome;
}

using Converter = Outcome (*)(const Job&, const Options&, ProgressBar&, std::string& step);

// One file, with every failure (allocation included) an outcome of its own.
Outcome convertOne(Converter convert, const Job& job, const Options& options, ProgressBar& bar) {
    if (sameFile(job.in, job.out)) return failure(job.in, "writing " + job.out, "the output is the input file");
    std::string step = "reading";
    try {
        return convert(job, options, bar, step);
    } catch (const std::bad_alloc&) {
        bar.clear();
        return failure(job.in, step, "out of memory");
    }
}

int defaultJobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : static_cast<int>(cores);
}

// Converts the files, `options.jobs` at a time, with one progress display for
// the batch. Each file's lines appear in input order whatever order the files
// finish in, so that a parallel run prints what a sequential one does.
int runBatch(Converter convert, const std::vector<Job>& jobs, const Options& options) {
    const bool terminal = !options.quiet && stderrIsTerminal();
    BatchProgress batch(jobs.size(), terminal);
    std::vector<Outcome> outcomes(jobs.size());
    std::vector<std::atomic<bool>> finished(jobs.size());
    std::atomic<size_t> next{0};
    std::mutex printing;
    size_t printed = 0;
    int status = 0;
    auto printFinished = [&] {
        std::lock_guard<std::mutex> lock(printing);
        for (; printed < jobs.size() && finished[printed].load(); ++printed) {
            const Outcome& outcome = outcomes[printed];
            if (!outcome.out.empty()) batch.print(stdout, outcome.out);
            if (!outcome.err.empty()) batch.print(stderr, outcome.err);
            if (outcome.status != 0) status = outcome.status;
            outcomes[printed] = Outcome{};
        }
    };
    auto work = [&] {
        for (size_t i = next++; i < jobs.size(); i = next++) {
            ProgressBar bar(&batch, i, 1);
            outcomes[i] = convertOne(convert, jobs[i], options, bar);
            batch.fileFinished(i);
            finished[i].store(true);
            printFinished();
        }
    };
    const size_t workers = std::min(jobs.size(), static_cast<size_t>(options.jobs > 0 ? options.jobs : defaultJobs()));
    std::vector<std::thread> threads;
    for (size_t t = 1; t < workers; ++t) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    printFinished();
    return status;
}

int runSingle(Converter convert, const Job& job, const Options& options) {
    ProgressBar bar(job.in, 1, !options.quiet && stderrIsTerminal());
    const Outcome outcome = convertOne(convert, job, options, bar);
    bar.clear();
    std::fputs(outcome.out.c_str(), stdout);
    std::fputs(outcome.err.c_str(), stderr);
    return outcome.status;
}

// Outputs in DIR, each named after its input. Two inputs that would share an
// output are refused before anything is converted.
int batchJobs(const std::vector<std::string>& inputs, const std::string& dir, const char* extension,
              std::vector<Job>& jobs) {
    std::map<std::string, std::string> inputOf;
    int status = 0;
    for (const std::string& in : inputs) {
        const std::filesystem::path out = std::filesystem::path(dir) / std::filesystem::path(in).stem();
        const std::string name = out.string() + extension;
        const auto [at, fresh] = inputOf.emplace(std::filesystem::path(name).lexically_normal().string(), in);
        if (!fresh) {
            std::fputs(
                failureLine(TOOL, in, "naming the output", name + " is already the output of " + at->second).c_str(),
                stderr);
            status = EXIT_FILE_FAILED;
        }
        jobs.push_back(Job{in, name});
    }
    if (status != 0) return status;  // the folder is made only for a batch that runs
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (!std::filesystem::is_directory(dir)) {
        const std::string reason = error ? error.message() : systemReason(ENOTDIR);
        std::fputs(failureLine(TOOL, dir, "making the output folder", reason).c_str(), stderr);
        return EXIT_FILE_FAILED;
    }
    return 0;
}

// IN OUT, or any number of inputs with -o DIR.
int convertCommand(const std::string& command, const std::vector<std::string>& operands, const Options& options) {
    const bool decoding = command == "decode";
    const Converter convert = decoding ? decodeFile : encodeFile;
    if (!options.batch) {
        if (operands.size() != 2)
            return usageError(command + (decoding ? " takes IN.qvr OUT.png, or IN.qvr... -o DIR"
                                                  : " takes IN.png OUT.qvr, or IN.png... -o DIR"));
        return runSingle(convert, Job{operands[0], operands[1]}, options);
    }
    if (operands.empty()) return usageError(command + " -o DIR needs at least one input");
    std::vector<Job> jobs;
    const int status = batchJobs(operands, options.outputDir, decoding ? ".png" : ".qvr", jobs);
    if (status != 0) return status;
    return runBatch(convert, jobs, options);
}

bool parseDepth(const std::string& text, int32_t* depth) {
    if (text == "8" || text == "24" || text == "32") {
        *depth = std::stoi(text);
        return true;
    }
    return false;
}

bool parseJobs(const std::string& text, int* jobs) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *jobs = std::stoi(text);
    return *jobs >= 1 && *jobs <= MAX_JOBS;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usageError("no command given");
    const std::string& command = args[0];
    std::vector<std::string> operands;
    Options options;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            return run({"--help"});
        } else if (arg == "--depth") {
            if (command != "encode") return usageError("--depth goes with encode");
            if (!hasValue || !parseDepth(args[i + 1], &options.depth)) return usageError("--depth takes 8, 24 or 32");
            ++i;
        } else if (arg == "-o") {
            if (!hasValue) return usageError("-o takes a folder");
            options.outputDir = args[++i];
            options.batch = true;
            if (options.outputDir.empty()) return usageError("-o takes a folder, not an empty name");
        } else if (arg == "-j" || arg == "--jobs") {
            if (!hasValue || !parseJobs(args[i + 1], &options.jobs)) return usageError(arg + JOBS_RANGE);
            ++i;
        } else if (arg.rfind("-j", 0) == 0 && arg.find_first_not_of("0123456789", 2) == std::string::npos) {
            if (!parseJobs(arg.substr(2), &options.jobs)) return usageError("-j" + JOBS_RANGE);
        } else if (arg == "--quiet" || arg == "-q") {
            options.quiet = true;
        } else {
            return usageError("unknown option " + arg);
        }
    }
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(HELP, stdout);
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (command == "info") return infoCommand(operands);
    if (command == "decode" || command == "encode") return convertCommand(command, operands, options);
    return usageError("unknown command " + command);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc&) {
        std::fputs("qvr: out of memory\n", stderr);
        return EXIT_FILE_FAILED;
    }
}

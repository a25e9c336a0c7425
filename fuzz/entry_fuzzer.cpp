// Fuzz target: the module's read path through its entry point, with the input
// as the open file: FilterFile, then ReadPrepare, ReadStart, ReadContinue and
// ReadFinish as the editor calls them.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fuzz_limits.h"
#include "tests/host/module_loader.h"
#include "tests/host/test_host.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const PluginEntryProc entry = qvrhost::loadModule("", nullptr);
    const int fd = memfd_create("qvr-fuzz", 0);
    if (fd < 0) return 0;
    if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) {
        ::close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    qvrhost::TestHost host(entry);
    const int16_t filtered = host.filterFile(path);
    check(filtered == 0 || filtered == -30501);

    // Only open what the filter accepted and what is small enough to be quick.
    if (filtered == 0 && size >= 32) {
        const uint32_t width = data[24] | data[25] << 8 | data[26] << 16 | static_cast<uint32_t>(data[27]) << 24;
        const uint32_t height = data[28] | data[29] << 8 | data[30] << 16 | static_cast<uint32_t>(data[31]) << 24;
        if (static_cast<uint64_t>(width) * height <= MAX_FUZZ_PIXELS) {
            const int16_t result = host.open(path);
            // Rows arrive top to bottom within each plane, one row high, full width.
            int16_t expectedTop = 0, lastPlanes = 0;
            for (const qvrhost::Transfer& t : host.transfers) {
                if (t.planes != lastPlanes) expectedTop = 0, lastPlanes = t.planes;
                check(t.rect.top == expectedTop++ && t.rect.bottom == t.rect.top + 1);
                check(t.rect.left == 0 && t.rect.right == host.record().imageSize.h);
            }
            if (result == 0) check(host.transfers.size() >= static_cast<size_t>(host.record().imageSize.v));
        }
    }
    ::close(fd);
    return 0;
}

/* Preloaded into 32-bit processes that run under qemu-i386 user emulation, so
 * that 32-bit Wine starts and reports hardware faults as it does on a kernel
 * with a 32-bit mode. It mends two gaps of that emulator:
 *
 * - mmap with MAP_FIXED_NOREPLACE: the emulator takes the address as a mere
 *   hint and maps elsewhere when the range is taken, so a caller probing for
 *   free space never learns the range is busy. Here such a mapping that lands
 *   elsewhere is undone and the call fails with EEXIST, as the kernel's does.
 * - trap numbers: signal frames carry trap number -1, so a handler that tells
 *   faults apart by it (Wine's does) sees every fault as unknown. Handlers
 *   installed for fault signals are wrapped, and the wrapper fills in the trap
 *   number the processor would have raised, from the signal and its si_code.
 *
 * Built freestanding (gcc -m32 -ffreestanding -nostdlib -shared), since a
 * 64-bit machine need not have the 32-bit C library's headers: the few i386
 * declarations it needs are written here, system calls are made directly,
 * and only errno's location and the C library's own sigaction are taken from
 * the C library at run time. */
#include <stddef.h>
#include <stdint.h>

#define EXPORT __attribute__((visibility("default")))
#define MAP_FAILED ((void*)-1)
#define RTLD_NEXT ((void*)-1)

/* The i386 C library's signal declarations. */
enum { SIGILL = 4, SIGTRAP = 5, SIGBUS = 7, SIGFPE = 8, SIGSEGV = 11 };
enum { SA_SIGINFO = 4 };
enum { SI_KERNEL = 0x80, BUS_ADRALN = 1, FPE_INTDIV = 1, FPE_INTOVF = 2, TRAP_TRACE = 2 };
#define SIG_DFL ((void (*)(int))0)
#define SIG_IGN ((void (*)(int))1)
typedef struct {
    int si_signo;
    int si_errno;
    int si_code;
} siginfo_t; /* only the head; the rest is never touched here */
struct sigaction {
    union {
        void (*sa_handler)(int);
        void (*sa_sigaction)(int, siginfo_t*, void*);
    };
    uint32_t sa_mask[32];
    int sa_flags;
    void (*sa_restorer)(void);
};
_Static_assert(sizeof(struct sigaction) == 140, "the i386 C library's struct sigaction");

enum {
    SYS_MUNMAP = 91,
    SYS_MMAP2 = 192,
    MAP_FIXED_NOREPLACE_FLAG = 0x100000,
    PAGE_SHIFT = 12,
    ERRNO_EEXIST = 17,
    ERRNO_EINVAL = 22,
    MAX_ERRNO = 4095,
};

/* Trap numbers of the x86 exceptions behind each fault signal. */
enum {
    TRAP_DIVIDE = 0,
    TRAP_DEBUG = 1,
    TRAP_BREAKPOINT = 3,
    TRAP_OVERFLOW = 4,
    TRAP_INVALID_OPCODE = 6,
    TRAP_PROTECTION = 13,
    TRAP_PAGE_FAULT = 14,
    TRAP_FPU = 16,
    TRAP_ALIGNMENT = 17,
};

/* The i386 ucontext: flags, link and stack (20 bytes), then the general
 * registers, of which the trap number is the thirteenth. */
enum { GREGS_OFFSET = 20, REG_TRAP_NUMBER = 12 };

extern int* __errno_location(void);
extern void* dlsym(void* handle, const char* name);

static long mmap2_call(long address, long length, long protection, long flags, long fd, long page_offset) {
    long result;
    /* ebp carries the sixth argument. It is handed over in eax, since no
     * memory operand can be trusted once ebp is pushed, and saved by hand
     * because the compiler may be using it as the frame pointer. */
    __asm__ volatile(
        "push %%ebp\n\t"
        "mov %%eax, %%ebp\n\t"
        "mov %[number], %%eax\n\t"
        "int $0x80\n\t"
        "pop %%ebp"
        : "=a"(result)
        : "a"(page_offset), "b"(address), "c"(length), "d"(protection), "S"(flags), "D"(fd), [number] "i"(SYS_MMAP2)
        : "memory");
    return result;
}

static void munmap_call(long address, long length) {
    long result;
    __asm__ volatile("int $0x80" : "=a"(result) : "a"(SYS_MUNMAP), "b"(address), "c"(length) : "memory");
}

static void* fail_with(int error) {
    *__errno_location() = error;
    return MAP_FAILED;
}

static void* map_pages(void* address, size_t length, int protection, int flags, int fd, uint32_t page_offset) {
    long result = mmap2_call((long)address, (long)length, protection, flags, fd, (long)page_offset);
    if ((unsigned long)result > (unsigned long)-MAX_ERRNO - 1) return fail_with((int)-result);
    if ((flags & MAP_FIXED_NOREPLACE_FLAG) && (void*)result != address) {
        munmap_call(result, (long)length);
        return fail_with(ERRNO_EEXIST);
    }
    return (void*)result;
}

EXPORT void* mmap(void* address, size_t length, int protection, int flags, int fd, long offset) {
    if (offset & ((1L << PAGE_SHIFT) - 1)) return fail_with(ERRNO_EINVAL);
    return map_pages(address, length, protection, flags, fd, (uint32_t)offset >> PAGE_SHIFT);
}

EXPORT void* mmap64(void* address, size_t length, int protection, int flags, int fd, long long offset) {
    if (offset < 0 || (offset & ((1LL << PAGE_SHIFT) - 1)) || (offset >> PAGE_SHIFT) > UINT32_MAX)
        return fail_with(ERRNO_EINVAL);
    return map_pages(address, length, protection, flags, fd, (uint32_t)(offset >> PAGE_SHIFT));
}

/* --- fault signals ------------------------------------------------------ */

typedef int (*sigaction_proc)(int, const struct sigaction*, struct sigaction*);

enum { SIGNAL_SLOTS = 32 };
static struct sigaction program_actions[SIGNAL_SLOTS];

static int is_fault_signal(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGILL || signal == SIGFPE || signal == SIGTRAP;
}

static int trap_number(int signal, int code) {
    switch (signal) {
    case SIGSEGV: return code == SI_KERNEL ? TRAP_PROTECTION : TRAP_PAGE_FAULT;
    case SIGBUS: return code == BUS_ADRALN ? TRAP_ALIGNMENT : TRAP_PAGE_FAULT;
    case SIGILL: return TRAP_INVALID_OPCODE;
    case SIGFPE:
        if (code == FPE_INTDIV) return TRAP_DIVIDE;
        if (code == FPE_INTOVF) return TRAP_OVERFLOW;
        return TRAP_FPU;
    case SIGTRAP: return code == TRAP_TRACE ? TRAP_DEBUG : TRAP_BREAKPOINT;
    }
    return -1;
}

static void fault_wrapper(int signal, siginfo_t* info, void* context) {
    int32_t* trap = (int32_t*)((char*)context + GREGS_OFFSET) + REG_TRAP_NUMBER;
    if (*trap == -1 && info) *trap = trap_number(signal, info->si_code);
    const struct sigaction* action = &program_actions[signal];
    if (action->sa_flags & SA_SIGINFO)
        action->sa_sigaction(signal, info, context);
    else
        action->sa_handler(signal);
}

static int has_handler(const struct sigaction* action) {
    return (action->sa_flags & SA_SIGINFO) || (action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN);
}

EXPORT int sigaction(int signal, const struct sigaction* action, struct sigaction* old) {
    static sigaction_proc real;
    if (!real) real = (sigaction_proc)dlsym(RTLD_NEXT, "sigaction");
    if (!is_fault_signal(signal)) return real(signal, action, old);

    struct sigaction previous = program_actions[signal];
    int wrapped_before = has_handler(&previous);
    int result;
    if (action && has_handler(action)) {
        struct sigaction wrapped = *action;
        wrapped.sa_flags |= SA_SIGINFO;
        wrapped.sa_sigaction = fault_wrapper;
        result = real(signal, &wrapped, old);
        if (result == 0) program_actions[signal] = *action;
    } else {
        result = real(signal, action, old);
        if (result == 0 && action) program_actions[signal] = *action;
    }
    /* The program sees its own handler, never the wrapper. */
    if (result == 0 && old && wrapped_before) *old = previous;
    return result;
}

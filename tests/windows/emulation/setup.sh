#!/usr/bin/env bash
# Makes this machine run 32-bit x86 Linux programs, which 32-bit Wine is:
# natively where the kernel has a 32-bit mode, otherwise through qemu-i386
# registered with binfmt_misc, with i386_fixes.c preloaded into 32-bit processes.
# Idempotent. Prints one line saying which way 32-bit programs run, and writes
# OUT_DIR/preload: the LD_PRELOAD value the 32-bit Wine processes need (empty
# when they run natively). Exit status 0 when 32-bit programs run, 1 with the
# reason when they cannot be made to.
#
# The registration is machine-wide (until the next boot); to undo it:
#   echo -1 > /proc/sys/fs/binfmt_misc/qvr-i386
# Usage: setup.sh OUT_DIR
set -uo pipefail
out=${1:?usage: setup.sh OUT_DIR}
here=$(cd "$(dirname "$0")" && pwd)
entry=qvr-i386
binfmt=/proc/sys/fs/binfmt_misc
emulator=/usr/bin/qemu-i386-static
library=libqvr_i386_fixes.so

die() { echo "32-bit x86: cannot run 32-bit programs: $*" >&2; exit 1; }
mkdir -p "$out" || die "cannot make $out"

# The smallest i386 program: exit(0) through the 32-bit system call gate.
probe=$out/probe-i386
if [ ! -x "$probe" ]; then
  printf 'void _start(void) { __asm__ volatile("movl $1, %%eax\\n xorl %%ebx, %%ebx\\n int $0x80"); }\n' \
    >"$out/probe-i386.c"
  gcc -m32 -ffreestanding -nostdlib -static -fno-pic -o "$probe" "$out/probe-i386.c" 2>"$out/probe.log" ||
    die "gcc cannot build an i386 program: $(tail -n 1 "$out/probe.log")"
fi

# Our entry exists only where the probe once failed natively: the kernel has
# no 32-bit mode, and the entry (gone at the next boot) is what runs it now.
if [ ! -e "$binfmt/$entry" ] && "$probe" 2>/dev/null; then
  : >"$out/preload"
  echo "32-bit x86: runs natively"
  exit 0
fi

# Emulated: register qemu-i386 for i386 ELF programs and shared objects
# (class 1, little-endian, type EXEC or DYN, machine 3). F opens the emulator
# now, so that it serves every mount namespace.
[ -x "$emulator" ] || die "the kernel has no 32-bit mode and $emulator is missing (scripts/install-deps.sh windows)"
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>"$out/mount.log" ||
    die "the kernel has no 32-bit mode and binfmt_misc cannot be mounted: $(tail -n 1 "$out/mount.log")"
fi
if [ ! -e "$binfmt/$entry" ]; then
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":$entry:M::$magic:$mask:$emulator:F" >"$binfmt/register" 2>"$out/register.log" ||
    die "registering $emulator with binfmt_misc failed (root needed): $(tail -n 1 "$out/register.log")"
fi
grep -qx enabled "$binfmt/$entry" || echo 1 >"$binfmt/$entry" 2>/dev/null
"$probe" 2>/dev/null || die "an i386 program still fails under $emulator"

# The fixes, for 32-bit processes, and an empty twin that keeps 64-bit ones
# quiet: ld.so expands $LIB to each process's own library folder.
build_library() {  # FOLDER GCC_FLAGS SOURCE
  mkdir -p "$out/lib/$1" && gcc $2 -O2 -fPIC -ffreestanding -nostdlib -shared -fvisibility=hidden \
    -Wall -Wextra -Werror -o "$out/lib/$1/$library" "$3" 2>"$out/build.log" ||
    die "building $library for $1 failed: $(tail -n 1 "$out/build.log")"
}
if [ ! -f "$out/lib/i386-linux-gnu/$library" ] || [ "$here/i386_fixes.c" -nt "$out/lib/i386-linux-gnu/$library" ]; then
  build_library i386-linux-gnu -m32 "$here/i386_fixes.c"
  : >"$out/empty.c"
  build_library x86_64-linux-gnu -m64 "$out/empty.c"
fi
printf '%s\n' "$out/\$LIB/$library" >"$out/preload"
echo "32-bit x86: emulated by $emulator (binfmt_misc entry $entry; undo: echo -1 > $binfmt/$entry)"

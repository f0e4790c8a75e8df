/* allocation_interpose.c — test-only LD_PRELOAD library that makes chosen C library
 * allocations fail.
 *
 * Interposes malloc, calloc, realloc, posix_memalign, aligned_alloc and memalign, and
 * mmap of anonymous memory (each thread's generator lives on pages of its own); each
 * passes through to the C library (mmap: to the kernel) unless it is the allocation
 * chosen to fail, in which case it returns null (posix_memalign: ENOMEM; mmap:
 * MAP_FAILED) with errno set to ENOMEM. Nothing fails
 * until a test arms it, from the process that is to fail (through ctypes):
 *
 *   void tesk_fail_allocations(unsigned long number, int and_after)
 *       Counts allocations from this call on, in every thread; the one numbered
 *       `number` (from 1) fails, and with `and_after` non-zero every later one too.
 *   unsigned long tesk_stop_failing(void)
 *       Disarms; returns how many allocations were counted since arming.
 *
 * free is not interposed: failed allocations hand out nothing to free.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

/* The C library's own entry points, which it keeps exported for this purpose. */
extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* pointer, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

static unsigned long armed; /* 0: counting off */
static unsigned long counted;
static unsigned long failing_number;
static int failing_after;

/* Counts one allocation; non-zero when it is to fail. */
static int fails_now(void) {
    if (!__atomic_load_n(&armed, __ATOMIC_ACQUIRE)) {
        return 0;
    }
    const unsigned long number = __atomic_add_fetch(&counted, 1, __ATOMIC_RELAXED);
    if (number == failing_number || (failing_after && number > failing_number)) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

void tesk_fail_allocations(unsigned long number, int and_after) {
    failing_number = number;
    failing_after = and_after;
    __atomic_store_n(&counted, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&armed, 1, __ATOMIC_RELEASE);
}

unsigned long tesk_stop_failing(void) {
    __atomic_store_n(&armed, 0, __ATOMIC_RELEASE);
    return __atomic_load_n(&counted, __ATOMIC_RELAXED);
}

void* malloc(size_t size) {
    return fails_now() ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    return fails_now() ? NULL : __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    return fails_now() ? NULL : __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    return fails_now() ? NULL : __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    void* memory = memalign(alignment, size);
    if (memory == NULL) {
        return ENOMEM;
    }
    *result = memory;
    return 0;
}

/* Straight to the kernel: a mapping of a file is no allocation, and the C library's own
 * mmap cannot be reached from here without a lookup that may allocate. */
void* mmap(void* address, size_t length, int protection, int flags, int descriptor,
           off_t offset) {
    if ((flags & MAP_ANONYMOUS) && fails_now()) {
        return MAP_FAILED;
    }
    return (void*)syscall(SYS_mmap, address, length, protection, flags, descriptor, offset);
}

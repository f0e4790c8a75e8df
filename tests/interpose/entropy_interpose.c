/* entropy_interpose.c — test-only LD_PRELOAD stand-in for the kernel's randomness.
 *
 * Interposes syscall (getrandom only), open64, read, poll and close (only for the two
 * random devices and the descriptors handed out for them), so that a subprocess running
 * the module draws from chosen seeds and meets chosen errors. Only calls made from the
 * module's own file (tesk.*) are served: the interpreter's own getrandom calls (CPython
 * 3.14 seeds its hashes through syscall) and everything else pass through to the C library.
 *
 * A device's descriptor is a real descriptor of that device, so that the module's checks
 * of device and inode see the genuine article; its reads and polls are served here while
 * the number still names that device (a daemon-style clean-up may close it behind the
 * interposer's back and the number may be reused for another file, which is then read for
 * real).
 *
 * Environment (read once, at load):
 *   TESK_INTERPOSE_LOG          file that receives one line per intercepted call:
 *                               "<pid> <call> <arguments> -> <result>"
 *   TESK_INTERPOSE_SEEDS        comma-separated 64-digit hex seeds; getrandom and reads of
 *                               /dev/urandom are served from their concatenated bytes
 *   TESK_INTERPOSE_CHILD_SEEDS  the same, used instead in a process forked after loading
 *   TESK_INTERPOSE_PROBE_ERRNO  errno for the empty getrandom probe (default: success)
 *   TESK_INTERPOSE_CHUNK        most bytes one getrandom or read returns (short results)
 *   TESK_INTERPOSE_FAULTS       comma-separated "<call>:<errno>" entries, each failing the
 *                               next call of that kind once, in order; calls are
 *                               getrandom, read, poll, open_random, open_urandom
 *   TESK_INTERPOSE_CHILD_FAULTS the same, used instead in a process forked after loading
 * Once the seeds run out, requests fail with ENODATA.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { max_seed_bytes = 4096, max_faults = 64, max_devices = 16 };

enum call_kind { call_getrandom, call_read, call_poll, call_open_random, call_open_urandom };

static const char* const call_names[] = {"getrandom", "read", "poll", "open_random",
                                         "open_urandom"};

struct seed_bytes {
    unsigned char bytes[max_seed_bytes];
    size_t length;
    size_t position;
};

struct fault {
    enum call_kind kind;
    int error;
    int used;
};

struct fault_list {
    struct fault entries[max_faults];
    int count;
};

/* A descriptor handed out for a device, and the device and inode it was opened as. */
struct device_descriptor {
    int number;
    dev_t device;
    ino_t inode;
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pid_t loading_pid;
static const char* log_path;
static struct seed_bytes parent_seeds;
static struct seed_bytes child_seeds;
static int probe_errno;
static size_t chunk = (size_t)-1;
static struct fault_list parent_faults;
static struct fault_list child_faults;
static struct device_descriptor random_descriptors[max_devices];
static struct device_descriptor urandom_descriptors[max_devices];
static int random_count;
static int urandom_count;

static long (*real_syscall)(long, ...);
static int (*real_open64)(const char*, int, ...);
static ssize_t (*real_read)(int, void*, size_t);
static int (*real_poll)(struct pollfd*, nfds_t, int);
static int (*real_close)(int);
static pthread_once_t real_functions_found = PTHREAD_ONCE_INIT;
static int loaded;

static void find_real_functions(void) {
    real_syscall = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    real_open64 = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open64");
    real_read = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    real_poll = (int (*)(struct pollfd*, nfds_t, int))dlsym(RTLD_NEXT, "poll");
    real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
}

/* Libraries initialised before this one may call these functions from their own
 * constructors (CPython 3.13's mimalloc reads /proc and calls getrandom), so the real
 * functions are found on first use, and nothing is served before load() has run. */
static void need_real_functions(void) {
    pthread_once(&real_functions_found, find_real_functions);
}

static void parse_seeds(const char* text, struct seed_bytes* seeds) {
    seeds->length = 0;
    seeds->position = 0;
    if (text == NULL) {
        return;
    }
    for (const char* p = text; *p != '\0' && seeds->length < max_seed_bytes;) {
        if (*p == ',') {
            ++p;
            continue;
        }
        unsigned value = 0;
        if (sscanf(p, "%2x", &value) != 1) {
            break;
        }
        seeds->bytes[seeds->length++] = (unsigned char)value;
        p += 2;
    }
}

static void parse_faults(const char* text, struct fault_list* faults) {
    if (text == NULL) {
        return;
    }
    char copy[1024];
    snprintf(copy, sizeof copy, "%s", text);
    char* saved = NULL;
    for (char* entry = strtok_r(copy, ",", &saved); entry != NULL && faults->count < max_faults;
         entry = strtok_r(NULL, ",", &saved)) {
        char* colon = strchr(entry, ':');
        if (colon == NULL) {
            continue;
        }
        *colon = '\0';
        for (int kind = 0; kind < (int)(sizeof call_names / sizeof call_names[0]); ++kind) {
            if (strcmp(entry, call_names[kind]) == 0) {
                faults->entries[faults->count].kind = (enum call_kind)kind;
                faults->entries[faults->count].error = atoi(colon + 1);
                faults->entries[faults->count].used = 0;
                ++faults->count;
            }
        }
    }
}

__attribute__((constructor)) static void load(void) {
    need_real_functions();
    loading_pid = getpid();
    log_path = getenv("TESK_INTERPOSE_LOG");
    parse_seeds(getenv("TESK_INTERPOSE_SEEDS"), &parent_seeds);
    parse_seeds(getenv("TESK_INTERPOSE_CHILD_SEEDS"), &child_seeds);
    const char* probe = getenv("TESK_INTERPOSE_PROBE_ERRNO");
    probe_errno = probe != NULL ? atoi(probe) : 0;
    const char* chunk_text = getenv("TESK_INTERPOSE_CHUNK");
    if (chunk_text != NULL && atoi(chunk_text) > 0) {
        chunk = (size_t)atoi(chunk_text);
    }
    parse_faults(getenv("TESK_INTERPOSE_FAULTS"), &parent_faults);
    parse_faults(getenv("TESK_INTERPOSE_CHILD_FAULTS"), &child_faults);
    loaded = 1;
}

static void log_line(const char* format, ...) {
    if (log_path == NULL) {
        return;
    }
    char line[256];
    int length = snprintf(line, sizeof line, "%d ", (int)getpid());
    va_list arguments;
    va_start(arguments, format);
    length += vsnprintf(line + length, sizeof line - (size_t)length, format, arguments);
    va_end(arguments);
    if (length >= (int)sizeof line - 1) {
        length = (int)sizeof line - 2;
    }
    line[length++] = '\n';
    int descriptor = real_open64(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor >= 0) {
        ssize_t ignored = write(descriptor, line, (size_t)length);
        (void)ignored;
        real_close(descriptor);
    }
}

/* The errno of the next unused fault for `kind`, or 0. Called with the lock held. */
static int take_fault(enum call_kind kind) {
    struct fault_list* faults = getpid() == loading_pid ? &parent_faults : &child_faults;
    for (int i = 0; i < faults->count; ++i) {
        struct fault* fault = &faults->entries[i];
        if (!fault->used && fault->kind == kind) {
            fault->used = 1;
            return fault->error;
        }
    }
    return 0;
}

/* Serves up to `length` seed bytes, or fails. Called with the lock held. */
static long serve(enum call_kind kind, void* buffer, size_t length) {
    int error = take_fault(kind);
    struct seed_bytes* seeds = getpid() == loading_pid ? &parent_seeds : &child_seeds;
    if (error == 0 && seeds->position >= seeds->length && length > 0) {
        error = ENODATA;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    size_t count = length < chunk ? length : chunk;
    if (count > seeds->length - seeds->position) {
        count = seeds->length - seeds->position;
    }
    memcpy(buffer, seeds->bytes + seeds->position, count);
    seeds->position += count;
    return (long)count;
}

static void log_result(const char* call, long result, int error) {
    if (result < 0) {
        log_line("%s -> errno %d", call, error);
    } else {
        log_line("%s -> %ld", call, result);
    }
}

/* Whether `address` lies in the module's own file (tesk.*.so), whose calls alone are served. */
static int from_module(const void* address) {
    Dl_info info;
    if (dladdr(address, &info) == 0 || info.dli_fname == NULL) {
        return 0;
    }
    const char* slash = strrchr(info.dli_fname, '/');
    const char* name = slash != NULL ? slash + 1 : info.dli_fname;
    return strncmp(name, "tesk.", 5) == 0;
}

/* Whether `descriptor` is one handed out for the device and still names that device.
 * Called with the lock held. */
static int is_handed_out(const struct device_descriptor* descriptors, int count,
                         int descriptor) {
    for (int i = 0; i < count; ++i) {
        if (descriptors[i].number == descriptor) {
            struct stat status;
            return fstat(descriptor, &status) == 0 && status.st_dev == descriptors[i].device &&
                   status.st_ino == descriptors[i].inode;
        }
    }
    return 0;
}

/* Forgets a closed descriptor, whose number the process may reuse for anything. */
static void forget(struct device_descriptor* descriptors, int* count, int descriptor) {
    for (int i = 0; i < *count; ++i) {
        if (descriptors[i].number == descriptor) {
            descriptors[i] = descriptors[--*count];
            return;
        }
    }
}

long syscall(long number, ...) {
    va_list arguments;
    va_start(arguments, number);
    long a[6];
    for (int i = 0; i < 6; ++i) {
        a[i] = va_arg(arguments, long);
    }
    va_end(arguments);
    need_real_functions();
    if (number != SYS_getrandom || !loaded || !from_module(__builtin_return_address(0))) {
        return real_syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
    void* buffer = (void*)a[0];
    size_t length = (size_t)a[1];
    unsigned flags = (unsigned)a[2];
    char call[64];
    snprintf(call, sizeof call, "getrandom %zu %u", length, flags);
    pthread_mutex_lock(&lock);
    long result;
    if (buffer == NULL && length == 0) {
        result = probe_errno != 0 ? -1 : 0;
        errno = probe_errno;
    } else {
        result = serve(call_getrandom, buffer, length);
    }
    int error = errno;
    log_result(call, result, error);
    pthread_mutex_unlock(&lock);
    errno = error;
    return result;
}

int open64(const char* path, int flags, ...) {
    int mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, int);
        va_end(arguments);
    }
    need_real_functions();
    int is_random = strcmp(path, "/dev/random") == 0;
    if (!loaded || (!is_random && strcmp(path, "/dev/urandom") != 0) ||
        !from_module(__builtin_return_address(0))) {
        return real_open64(path, flags, mode);
    }
    char call[64];
    snprintf(call, sizeof call, "open64 %s %#x", path, (unsigned)flags);
    pthread_mutex_lock(&lock);
    int error = take_fault(is_random ? call_open_random : call_open_urandom);
    int descriptor = -1;
    if (error == 0) {
        /* A real descriptor of the device; reads and polls on it never reach it. */
        descriptor = real_open64(path, O_RDONLY | O_CLOEXEC);
        error = errno;
        struct stat status;
        if (descriptor >= 0 && fstat(descriptor, &status) == 0) {
            struct device_descriptor* list = is_random ? random_descriptors : urandom_descriptors;
            int* count = is_random ? &random_count : &urandom_count;
            /* An entry for this number left over from a clean-up that bypassed close. */
            forget(list, count, descriptor);
            if (*count < max_devices) {
                list[(*count)++] = (struct device_descriptor){descriptor, status.st_dev,
                                                              status.st_ino};
            }
        }
    }
    if (descriptor < 0) {
        log_line("%s -> errno %d", call, error);
    } else {
        log_line("%s -> ok", call);
    }
    pthread_mutex_unlock(&lock);
    errno = error;
    return descriptor;
}

ssize_t read(int descriptor, void* buffer, size_t length) {
    need_real_functions();
    pthread_mutex_lock(&lock);
    if (!is_handed_out(urandom_descriptors, urandom_count, descriptor)) {
        pthread_mutex_unlock(&lock);
        return real_read(descriptor, buffer, length);
    }
    long result = serve(call_read, buffer, length);
    int error = errno;
    char call[64];
    snprintf(call, sizeof call, "read /dev/urandom %zu", length);
    log_result(call, result, error);
    pthread_mutex_unlock(&lock);
    errno = error;
    return (ssize_t)result;
}

int poll(struct pollfd* descriptors, nfds_t count, int timeout) {
    need_real_functions();
    pthread_mutex_lock(&lock);
    if (count != 1 || !is_handed_out(random_descriptors, random_count, descriptors[0].fd)) {
        pthread_mutex_unlock(&lock);
        return real_poll(descriptors, count, timeout);
    }
    int error = take_fault(call_poll);
    int result = error != 0 ? -1 : 1;
    if (result == 1) {
        descriptors[0].revents = POLLIN;
    }
    char call[64];
    snprintf(call, sizeof call, "poll /dev/random %d %d", descriptors[0].events, timeout);
    log_result(call, result, error);
    pthread_mutex_unlock(&lock);
    errno = error;
    return result;
}

int close(int descriptor) {
    need_real_functions();
    pthread_mutex_lock(&lock);
    const char* device = NULL;
    if (is_handed_out(random_descriptors, random_count, descriptor)) {
        device = "/dev/random";
        forget(random_descriptors, &random_count, descriptor);
    } else if (is_handed_out(urandom_descriptors, urandom_count, descriptor)) {
        device = "/dev/urandom";
        forget(urandom_descriptors, &urandom_count, descriptor);
    }
    if (device != NULL) {
        log_line("close %s", device);
    }
    pthread_mutex_unlock(&lock);
    return real_close(descriptor);
}

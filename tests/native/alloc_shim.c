/* Preloaded into a test process to make the heap run out on demand.
 *
 * Nothing changes until shim_heap_fail(successes, min_size) is called: from
 * then on `successes` more allocations of at least `min_size` bytes succeed,
 * and every later one fails, until shim_heap_restore(). Allocations are what
 * malloc and its relatives hand out and anonymous mappings, the two ways
 * memory reaches the interpreter, NumPy and the module. */
#define _GNU_SOURCE
#include <errno.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

static int armed;
static long remaining;
static size_t threshold;

void shim_heap_fail(long successes, size_t min_size) {
    __atomic_store_n(&remaining, successes, __ATOMIC_SEQ_CST);
    __atomic_store_n(&threshold, min_size, __ATOMIC_SEQ_CST);
    __atomic_store_n(&armed, 1, __ATOMIC_SEQ_CST);
}

void shim_heap_restore(void) {
    __atomic_store_n(&armed, 0, __ATOMIC_SEQ_CST);
}

static int refused(size_t size) {
    if (!__atomic_load_n(&armed, __ATOMIC_SEQ_CST) || size < __atomic_load_n(&threshold, __ATOMIC_SEQ_CST))
        return 0;
    long left = __atomic_load_n(&remaining, __ATOMIC_SEQ_CST);
    do {
        if (left <= 0) {
            errno = ENOMEM;
            return 1;
        }
    } while (!__atomic_compare_exchange_n(&remaining, &left, left - 1, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    return 0;
}

void* malloc(size_t size) {
    return refused(size) ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    return refused(count * size) ? NULL : __libc_calloc(count, size);
}

void* realloc(void* p, size_t size) {
    return size != 0 && refused(size) ? NULL : __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size) {
    return refused(size) ? NULL : __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (refused(size))
        return ENOMEM;
    void* p = __libc_memalign(alignment, size);
    if (p == NULL)
        return ENOMEM;
    *out = p;
    return 0;
}

void* mmap(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
    if ((flags & MAP_ANONYMOUS) && refused(len))
        return MAP_FAILED;
    return (void*)syscall(SYS_mmap, addr, len, prot, flags, fd, offset);
}

void* mmap64(void* addr, size_t len, int prot, int flags, int fd, off_t offset) {
    return mmap(addr, len, prot, flags, fd, offset);
}

/* Preloaded into a test process to make thread creation fail on demand.
 *
 * Nothing changes until the test calls shim_fail_after(successes, error)
 * (through ctypes, right before the code under test runs, so that whatever
 * the interpreter started earlier is not counted): from then on
 * pthread_create succeeds `successes` more times and afterwards returns
 * `error` without creating a thread. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

static int armed;
static int remaining;
static int failure;

void shim_fail_after(int successes, int error) {
    __atomic_store_n(&remaining, successes, __ATOMIC_SEQ_CST);
    __atomic_store_n(&failure, error, __ATOMIC_SEQ_CST);
    __atomic_store_n(&armed, 1, __ATOMIC_SEQ_CST);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    if (__atomic_load_n(&armed, __ATOMIC_SEQ_CST)) {
        int left = __atomic_load_n(&remaining, __ATOMIC_SEQ_CST);
        do {
            if (left == 0)
                return __atomic_load_n(&failure, __ATOMIC_SEQ_CST);
        } while (!__atomic_compare_exchange_n(&remaining, &left, left - 1, 0, __ATOMIC_SEQ_CST,
                                              __ATOMIC_SEQ_CST));
    }
    create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    return real(thread, attr, start, arg);
}

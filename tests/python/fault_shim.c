/* Loaded with LD_PRELOAD by the hardening tests.
 *
 * QH_FAIL_PTHREAD_CREATE_FROM=N: from the N-th call on (counting from 1),
 * pthread_create fails with EAGAIN, as it does under a pids cgroup limit or
 * RLIMIT_NPROC. Earlier calls go to the real one.
 *
 * QH_GETENV_MAIN_THREAD_ONLY=NAME: getenv(NAME) on any thread but the main
 * one aborts the process. Reading the environment while another thread
 * changes it can crash; this turns that rare race into a certain failure. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

typedef int (*create_fn)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
typedef char* (*getenv_fn)(const char*);

static long fail_from = 0; /* 0: never fail */
static atomic_long calls;
static char watched[256];

static char* real_getenv(const char* name) {
    static getenv_fn real = NULL;
    if (real == NULL) real = (getenv_fn)dlsym(RTLD_NEXT, "getenv");
    return real(name);
}

__attribute__((constructor)) static void read_settings(void) {
    const char* text = real_getenv("QH_FAIL_PTHREAD_CREATE_FROM");
    if (text != NULL) fail_from = strtol(text, NULL, 10);
    text = real_getenv("QH_GETENV_MAIN_THREAD_ONLY");
    if (text != NULL) strncpy(watched, text, sizeof watched - 1);
}

char* getenv(const char* name) {
    if (watched[0] != '\0' && strcmp(name, watched) == 0 && syscall(SYS_gettid) != getpid()) {
        static const char msg[] = "fault_shim: getenv of the watched variable off the main thread\n";
        (void)!write(2, msg, sizeof msg - 1);
        abort();
    }
    return real_getenv(name);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    const long n = atomic_fetch_add(&calls, 1) + 1;
    if (fail_from > 0 && n >= fail_from) return EAGAIN;
    create_fn real = (create_fn)dlsym(RTLD_NEXT, "pthread_create");
    if (real == NULL) return EAGAIN;
    return real(thread, attr, start, arg);
}

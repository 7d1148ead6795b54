#define _GNU_SOURCE /* pthread_getattr_np */
#include "image/stack_room.h"

#include <pthread.h>
#include <signal.h>
#include <stdint.h>

size_t quarn_stack_left(void) {
    /* The lowest usable address of this thread's stack, found once: it never moves. */
    static _Thread_local uintptr_t lowest;
    char here;
    if (!lowest) {
        pthread_attr_t attributes;
        void *base;
        size_t size, guard = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return 0;
        if (pthread_attr_getstack(&attributes, &base, &size) == 0 &&
            pthread_attr_getguardsize(&attributes, &guard) == 0)
            lowest = (uintptr_t)base + guard; /* a guard counted in the stack is no room */
        pthread_attr_destroy(&attributes);
    }
    return lowest && (uintptr_t)&here > lowest ? (size_t)((uintptr_t)&here - lowest) : 0;
}

typedef struct job {
    void (*run)(void *);
    void *argument;
} job;

static void *start(void *given) {
    const job *work = given;
    work->run(work->argument);
    return NULL;
}

int quarn_run_with_stack(size_t bytes, void (*run)(void *), void *argument) {
    job work = {run, argument};
    pthread_attr_t attributes;
    pthread_t thread;
    sigset_t all, kept;
    int error = pthread_attr_init(&attributes);
    if (error) return error;
    error = pthread_attr_setstacksize(&attributes, bytes);
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &kept); /* the new thread starts with this mask */
    if (!error) error = pthread_create(&thread, &attributes, start, &work);
    pthread_sigmask(SIG_SETMASK, &kept, NULL);
    pthread_attr_destroy(&attributes);
    if (!error) pthread_join(thread, NULL);
    return error;
}

/* Preloaded into every 32-bit program that qemu-i386 starts for the tests (README.md beside this file): works
 * around two faults of qemu's user-mode emulation that break 32-bit Wine.
 *
 *   trapno       qemu writes -1 as the trap number of every signal frame; rebuilt here from the signal and
 * its si_code, as the processor would have reported it. descriptors  qemu keeps one descriptor table for the
 * whole process, so the thread-local descriptors that set_thread_area writes hold only the base of the thread
 * that wrote last. Each thread gets a local descriptor (LDT) entry of its own for %gs instead, and
 * set_thread_area is refused to the program, which then puts %fs into the LDT as well.
 *
 * QEMU_FIXES_OFF=trapno,descriptors (either or both) turns parts off, to show that each one is needed.
 *
 * Built for x86-64 as an empty library: the 64-bit programs that the 32-bit ones start (the wineserver)
 * inherit the same LD_PRELOAD, whose $LIB picks the library of their own width. */
#if defined(__i386__)

#define _GNU_SOURCE
#include <asm/ldt.h>
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <ucontext.h>

/* -- switches and the functions wrapped ------------------------------------------------------------------ */

static int fix_trapno = 1;
static int fix_descriptors = 1;

static long (*real_syscall)(long, ...);
static int (*real_sigaction)(int, const struct sigaction*, struct sigaction*);
static int (*real_pthread_create)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

/* Called by every wrapper: a program may call one before this library's constructor has run. */
static void find_real_functions(void) {
    if (!real_syscall) {
        real_syscall = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
        real_sigaction =
            (int (*)(int, const struct sigaction*, struct sigaction*))dlsym(RTLD_NEXT, "sigaction");
        real_pthread_create = (int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*))dlsym(
            RTLD_NEXT, "pthread_create");
    }
}

/* Whether the comma-separated list QEMU_FIXES_OFF names part. */
static int switched_off(const char* part) {
    const char* list = getenv("QEMU_FIXES_OFF");
    size_t length = strlen(part);
    while (list && *list) {
        const char* end = strchr(list, ',');
        size_t item = end ? (size_t)(end - list) : strlen(list);
        if (item == length && strncmp(list, part, length) == 0)
            return 1;
        list = end ? end + 1 : NULL;
    }
    return 0;
}

/* -- trapno ------------------------------------------------------------------------------------------------
 */

/* The x86 exception numbers, as the kernel reports them in a signal frame. */
enum {
    TRAP_DIVIDE_ERROR = 0,
    TRAP_DEBUG = 1,
    TRAP_BREAKPOINT = 3,
    TRAP_INVALID_OPCODE = 6,
    TRAP_SEGMENT_NOT_PRESENT = 11,
    TRAP_GENERAL_PROTECTION = 13,
    TRAP_PAGE_FAULT = 14,
    TRAP_FLOATING_POINT_ERROR = 16,
    TRAP_ALIGNMENT_CHECK = 17,
};

static int trap_number(int signal_number, int code) {
    switch (signal_number) {
        case SIGSEGV:
            return code == SI_KERNEL ? TRAP_GENERAL_PROTECTION : TRAP_PAGE_FAULT;
        case SIGBUS:
            return code == SI_KERNEL    ? TRAP_SEGMENT_NOT_PRESENT
                   : code == BUS_ADRALN ? TRAP_ALIGNMENT_CHECK
                                        : TRAP_PAGE_FAULT;
        case SIGILL:
            return TRAP_INVALID_OPCODE;
        case SIGFPE:
            return code == FPE_INTDIV || code == FPE_INTOVF ? TRAP_DIVIDE_ERROR : TRAP_FLOATING_POINT_ERROR;
        default: /* SIGTRAP */
            return code == SI_KERNEL ? TRAP_BREAKPOINT : TRAP_DEBUG;
    }
}

static int is_fault_signal(int signal_number) {
    return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
           signal_number == SIGFPE || signal_number == SIGTRAP;
}

typedef void (*signal_handler)(int, siginfo_t*, void*);

/* The program's own handler of each fault signal, called after the trap number is repaired. */
static signal_handler volatile program_handlers[NSIG];

static void repair_trapno(int signal_number, siginfo_t* info, void* context) {
    greg_t* trapno = &((ucontext_t*)context)->uc_mcontext.gregs[REG_TRAPNO];
    if (*trapno == -1)
        *trapno = trap_number(signal_number, info->si_code);
    signal_handler handler = program_handlers[signal_number];
    if (handler)
        handler(signal_number, info, context);
}

/* Puts repair_trapno in front of the program's SA_SIGINFO handlers of the fault signals; the program is told
 * about its own handlers only. */
int sigaction(int signal_number, const struct sigaction* action, struct sigaction* old) {
    find_real_functions();
    if (!fix_trapno || !is_fault_signal(signal_number))
        return real_sigaction(signal_number, action, old);

    signal_handler previous = program_handlers[signal_number];
    struct sigaction in_front;
    int wrapped = action && (action->sa_flags & SA_SIGINFO) && action->sa_handler != SIG_DFL &&
                  action->sa_handler != SIG_IGN;
    if (wrapped) {
        in_front = *action;
        in_front.sa_sigaction = repair_trapno;
        program_handlers[signal_number] = action->sa_sigaction;
        action = &in_front;
    }
    int result = real_sigaction(signal_number, action, old);
    if (result != 0) {
        program_handlers[signal_number] = previous;
        return result;
    }
    if (action && !wrapped)
        program_handlers[signal_number] = NULL;
    if (old && (old->sa_flags & SA_SIGINFO) && old->sa_sigaction == repair_trapno)
        old->sa_sigaction = previous;
    return 0;
}

/* -- descriptors -------------------------------------------------------------------------------------------
 */

/* LDT entries 1 to 511 are for %gs: when %gs is in the LDT, Wine takes its own entries from 512 on. */
enum { FIRST_GS_ENTRY = 1, GS_ENTRIES_END = 512, LDT_SELECTOR_BITS = 7, MODIFY_LDT_WRITE = 0x11 };

/* glibc's GDT selector for %gs, as the process started. */
static unsigned short glibc_gs;
/* Taken entries; an entry is never given back, so a thread that is still ending never finds its %gs
 * rewritten. */
static unsigned char gs_entry_taken[GS_ENTRIES_END];
static pthread_mutex_t gs_entries_lock = PTHREAD_MUTEX_INITIALIZER;
/* Held while a thread is back on glibc's shared descriptor to create a thread. */
static pthread_mutex_t shared_descriptor_lock = PTHREAD_MUTEX_INITIALIZER;

static unsigned short get_gs(void) {
    unsigned short selector;
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    return selector;
}

static void set_gs(unsigned short selector) {
    __asm__ volatile("movw %0, %%gs" : : "r"(selector));
}

static void clear_fs(void) {
    __asm__ volatile("movw %0, %%fs" : : "r"((unsigned short)0));
}

/* The calling thread's TLS base: glibc keeps a pointer to the thread's control block at %gs:0. */
static void* thread_pointer(void) {
    void* self;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(self));
    return self;
}

/* A flat, writable 4 GiB data segment at base, as glibc makes its own for %gs. */
static struct user_desc data_segment(unsigned entry, void* base) {
    struct user_desc segment;
    memset(&segment, 0, sizeof segment);
    segment.entry_number = entry;
    segment.base_addr = (unsigned)(uintptr_t)base;
    segment.limit = 0xfffff;
    segment.seg_32bit = 1;
    segment.limit_in_pages = 1;
    segment.useable = 1;
    return segment;
}

/* Moves the calling thread's %gs to an LDT entry of its own, with the same base. A thread for which no entry
 * is left stays on glibc's shared descriptor. */
static void move_gs_to_own_entry(void) {
    unsigned entry = FIRST_GS_ENTRY;
    pthread_mutex_lock(&gs_entries_lock);
    while (entry < GS_ENTRIES_END && gs_entry_taken[entry])
        ++entry;
    if (entry < GS_ENTRIES_END)
        gs_entry_taken[entry] = 1;
    pthread_mutex_unlock(&gs_entries_lock);
    if (entry == GS_ENTRIES_END)
        return;

    struct user_desc segment = data_segment(entry, thread_pointer());
    if (real_syscall(SYS_modify_ldt, MODIFY_LDT_WRITE, &segment, sizeof segment) == 0)
        set_gs((unsigned short)(entry << 3 | LDT_SELECTOR_BITS));
}

struct thread_start {
    void* (*routine)(void*);
    void* argument;
    sigset_t signal_mask;
};

static void* start_on_own_entry(void* data) {
    struct thread_start start = *(struct thread_start*)data;
    free(data);
    move_gs_to_own_entry();
    pthread_sigmask(SIG_SETMASK, &start.signal_mask, NULL);
    return start.routine(start.argument);
}

/* glibc gives the new thread the TLS entry number of the caller's %gs, which must therefore be glibc's GDT
 * entry for the length of the call; the caller's own base is written there first, since loading the selector
 * reads the base that the shared table holds. The child moves to an entry of its own before it runs routine.
 * Signals stay blocked in between, so that no handler runs on the shared descriptor. */
int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                   void* argument) {
    find_real_functions();
    unsigned short own_gs = get_gs();
    if (!fix_descriptors || own_gs == glibc_gs)
        return real_pthread_create(thread, attributes, routine, argument);

    struct thread_start* start = malloc(sizeof *start);
    if (!start)
        return EAGAIN;
    start->routine = routine;
    start->argument = argument;
    sigset_t all, caller_mask;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &caller_mask);
    start->signal_mask = caller_mask;

    pthread_mutex_lock(&shared_descriptor_lock);
    struct user_desc segment = data_segment(glibc_gs >> 3, thread_pointer());
    real_syscall(SYS_set_thread_area, &segment);
    set_gs(glibc_gs);
    int result = real_pthread_create(thread, attributes, start_on_own_entry, start);
    set_gs(own_gs);
    pthread_mutex_unlock(&shared_descriptor_lock);

    pthread_sigmask(SIG_SETMASK, &caller_mask, NULL);
    if (result != 0)
        free(start);
    return result;
}

/* Refuses set_thread_area as a kernel without it would: Wine then keeps %fs in the LDT, one entry per thread.
 * Every other system call passes through; six arguments is the most any takes. */
long syscall(long number, ...) {
    find_real_functions();
    va_list list;
    va_start(list, number);
    long arguments[6];
    for (int i = 0; i < 6; ++i)
        arguments[i] = va_arg(list, long);
    va_end(list);
    if (fix_descriptors && number == SYS_set_thread_area) {
        errno = ENOSYS;
        return -1;
    }
    return real_syscall(number, arguments[0], arguments[1], arguments[2], arguments[3], arguments[4],
                        arguments[5]);
}

/* Runs before the program's own code, while the process has one thread. */
__attribute__((constructor)) static void start_fixes(void) {
    find_real_functions();
    fix_trapno = !switched_off("trapno");
    fix_descriptors = !switched_off("descriptors");
    if (!fix_descriptors)
        return;
    glibc_gs = get_gs();
    /* Wine's preloader leaves a GDT selector in %fs, which Wine would take for its own TEB selector. */
    clear_fs();
    move_gs_to_own_entry();
}

#else

/* Nothing to repair in a 64-bit program; an ISO C translation unit may not be empty. */
typedef int nothing_to_repair_in_64_bit_programs;

#endif

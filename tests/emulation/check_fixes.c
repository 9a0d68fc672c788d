/* What each part of qemu_fixes.c repairs, seen from a 32-bit program under qemu-i386: one line per check,
 * "ok NAME" or "FAIL NAME: what was seen", and exit code 1 if any check failed. fixes_test.py runs it with
 * each part switched off in turn.
 *
 *   trapno of ...      a fault of each kind, and the trap number its signal frame holds
 *   gs after reload    glibc's %gs reloaded (as Wine does in every signal handler) while another thread lives
 *   fs after reload    %fs set up the way Wine does it for its TEB, in two threads, then reloaded
 */
#define _GNU_SOURCE
#include <asm/ldt.h>
#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

static int failures;

static void report(const char* name, const char* problem) {
    if (problem[0]) {
        printf("FAIL %s: %s\n", name, problem);
        ++failures;
    } else {
        printf("ok   %s\n", name);
    }
    fflush(stdout);
}

/* -- trap numbers
 * -------------------------------------------------------------------------------------------- */

static sigjmp_buf after_fault;
static volatile int seen_trapno;
static volatile int seen_signal;

static void on_fault(int signal_number, siginfo_t* info, void* context) {
    (void)info;
    seen_signal = signal_number;
    seen_trapno = (int)((ucontext_t*)context)->uc_mcontext.gregs[REG_TRAPNO];
    siglongjmp(after_fault, 1);
}

static char* no_access_page;

static void read_unmapped(void) {
    (void)*(volatile char*)no_access_page;
}
static void privileged_instruction(void) {
    __asm__ volatile("hlt");
}
static void invalid_opcode(void) {
    __asm__ volatile("ud2");
}
static void breakpoint(void) {
    __asm__ volatile("int3");
}
static void divide_by_zero(void) {
    __asm__ volatile("xorl %%ecx, %%ecx\n\tmovl $1, %%eax\n\tcltd\n\tidivl %%ecx" : : : "eax", "ecx", "edx");
}

struct fault {
    const char* name;
    void (*cause)(void);
    int signal_number;
    int trapno; /* what the processor reports */
};

static const struct fault faults[] = {
    {"trapno of a page fault", read_unmapped, SIGSEGV, 14},
    {"trapno of a general protection fault (hlt)", privileged_instruction, SIGSEGV, 13},
    {"trapno of an invalid opcode (ud2)", invalid_opcode, SIGILL, 6},
    {"trapno of a breakpoint (int3)", breakpoint, SIGTRAP, 3},
    {"trapno of a divide error", divide_by_zero, SIGFPE, 0},
};

static void check_trap_numbers(void) {
    no_access_page = mmap(NULL, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = on_fault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    for (size_t i = 0; i < sizeof faults / sizeof faults[0]; ++i) {
        const struct fault* fault = &faults[i];
        char problem[160] = "";
        seen_signal = 0;
        sigaction(fault->signal_number, &action, NULL);
        if (sigsetjmp(after_fault, 1) == 0)
            fault->cause();
        if (seen_signal != fault->signal_number)
            snprintf(problem, sizeof problem, "signal %d, expected %d", seen_signal, fault->signal_number);
        else if (seen_trapno != fault->trapno)
            snprintf(problem, sizeof problem, "trapno %d, expected %d", seen_trapno, fault->trapno);
        report(fault->name, problem);
    }
}

/* -- thread descriptors
 * ---------------------------------------------------------------------------------------- */

static unsigned short get_gs(void) {
    unsigned short selector;
    __asm__ volatile("movw %%gs, %0" : "=r"(selector));
    return selector;
}

static void reload_gs(void) {
    __asm__ volatile("movw %%gs, %%ax\n\tmovw %%ax, %%gs" : : : "eax");
}

static void* gs_base(void) {
    void* self;
    __asm__ volatile("movl %%gs:0, %0" : "=r"(self));
    return self;
}

static pthread_barrier_t both_set_up, both_checked;

static void* wait_for_the_check(void* unused) {
    (void)unused;
    pthread_barrier_wait(&both_set_up);
    pthread_barrier_wait(&both_checked);
    return NULL;
}

static void check_gs_after_reload(void) {
    char problem[160] = "";
    void* own = gs_base();
    pthread_t other;
    pthread_barrier_init(&both_set_up, NULL, 2);
    pthread_barrier_init(&both_checked, NULL, 2);
    int error = pthread_create(&other, NULL, wait_for_the_check, NULL);
    if (error) {
        snprintf(problem, sizeof problem, "pthread_create failed: %s", strerror(error));
        report("gs after reload", problem);
        return;
    }
    pthread_barrier_wait(&both_set_up);
    reload_gs();
    void* after = gs_base();
    if (after != own) {
        /* Back on its own base before anything reads thread-local data, such as snprintf. */
        struct user_desc segment;
        memset(&segment, 0, sizeof segment);
        segment.entry_number = get_gs() >> 3;
        segment.base_addr = (unsigned)(uintptr_t)own;
        segment.limit = 0xfffff;
        segment.seg_32bit = 1;
        segment.limit_in_pages = 1;
        segment.useable = 1;
        syscall(SYS_set_thread_area, &segment);
        reload_gs();
        snprintf(problem, sizeof problem, "%%gs base %p after the reload, the thread's own is %p", after,
                 own);
    }
    pthread_barrier_wait(&both_checked);
    pthread_join(other, NULL);
    report("gs after reload", problem);
}

/* Each thread's stand-in for Wine's TEB: a block whose first word points to itself, reached through %fs. */
struct teb {
    struct teb* self;
};

enum { WINE_FIRST_LDT_ENTRY = 512 };

static unsigned fs_gdt_entry = (unsigned)-1;

/* %fs for the calling thread as Wine sets it up: a GDT entry from set_thread_area, the same entry number in
 * every thread, where the kernel allows it; else an LDT entry of the thread's own. */
static unsigned short set_up_fs(struct teb* teb, unsigned ldt_entry) {
    struct user_desc segment;
    memset(&segment, 0, sizeof segment);
    segment.entry_number = fs_gdt_entry;
    segment.base_addr = (unsigned)(uintptr_t)teb;
    segment.limit = 0xfff;
    segment.seg_32bit = 1;
    segment.useable = 1;
    unsigned short selector;
    if (syscall(SYS_set_thread_area, &segment) == 0) {
        fs_gdt_entry = segment.entry_number;
        selector = (unsigned short)(segment.entry_number << 3 | 3);
    } else {
        segment.entry_number = ldt_entry;
        syscall(SYS_modify_ldt, 0x11, &segment, sizeof segment);
        selector = (unsigned short)(ldt_entry << 3 | 7);
    }
    __asm__ volatile("movw %0, %%fs" : : "r"(selector));
    return selector;
}

static void* fs_base(void) {
    void* self;
    __asm__ volatile("movl %%fs:0, %0" : "=r"(self));
    return self;
}

static void reload_fs(void) {
    __asm__ volatile("movw %%fs, %%ax\n\tmovw %%ax, %%fs" : : : "eax");
}

static void clear_fs(void) {
    __asm__ volatile("movw %0, %%fs" : : "r"((unsigned short)0));
}

static struct teb tebs[2];
static pthread_barrier_t first_set_up, second_set_up;

static void* second_thread(void* unused) {
    (void)unused;
    pthread_barrier_wait(&first_set_up);
    tebs[1].self = &tebs[1];
    set_up_fs(&tebs[1], WINE_FIRST_LDT_ENTRY + 1);
    pthread_barrier_wait(&second_set_up);
    clear_fs();
    return NULL;
}

static void check_fs_after_reload(void) {
    char problem[160] = "";
    pthread_t other;
    pthread_barrier_init(&first_set_up, NULL, 2);
    pthread_barrier_init(&second_set_up, NULL, 2);
    int error = pthread_create(&other, NULL, second_thread, NULL);
    if (error) {
        snprintf(problem, sizeof problem, "pthread_create failed: %s", strerror(error));
        report("fs after reload", problem);
        return;
    }
    tebs[0].self = &tebs[0];
    set_up_fs(&tebs[0], WINE_FIRST_LDT_ENTRY);
    pthread_barrier_wait(&first_set_up);
    pthread_barrier_wait(&second_set_up);
    reload_fs();
    void* after = fs_base();
    if (after != &tebs[0])
        snprintf(problem, sizeof problem,
                 "%%fs:0 is %p after the reload (the other thread's is %p), the thread's "
                 "own is %p",
                 after, (void*)&tebs[1], (void*)&tebs[0]);
    clear_fs();
    pthread_join(other, NULL);
    report("fs after reload", problem);
}

int main(void) {
    check_trap_numbers();
    check_gs_after_reload();
    check_fs_after_reload();
    return failures ? 1 : 0;
}

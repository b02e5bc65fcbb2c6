/* Preloaded into Wine's 32-bit processes where user-mode QEMU runs them
 * (cmake/wine-emulator.sh builds and sets it; nothing of the product uses it).
 *
 * A CPU fault reaches a Linux program as a signal whose context carries the
 * CPU's trap number: 14 for a page fault, 0 for a divide error, 13 for a
 * general protection fault. Wine reads that number to name the Windows
 * exception. QEMU leaves it at -1, so Wine would call every fault an
 * illegal instruction, and a crash report would name the wrong exception.
 * This library wraps the fault handlers that Wine installs: before Wine's
 * handler runs, a trap number of -1 is filled in from what the signal itself
 * says, as the CPU would have told it. A signal with a real trap number (a
 * CPU running the code itself) or one sent by a program is passed on as it
 * came. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <ucontext.h>

enum {
    kTrapDivide = 0,
    kTrapDebug = 1,
    kTrapBreakpoint = 3,
    kTrapInvalidOpcode = 6,
    kTrapSegmentNotPresent = 11,
    kTrapProtection = 13,
    kTrapPageFault = 14,
    kTrapFloatingPoint = 16,
    kTrapAlignment = 17,
};

typedef void (*Handler)(int, siginfo_t*, void*);
typedef int (*Sigaction)(int, const struct sigaction*, struct sigaction*);

/* Wine's handler for each wrapped signal. Written before the wrapper is
 * installed, so the wrapper never runs without one. */
static Handler wineHandlers[NSIG];

static int IsFault(int signal) {
    return signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL || signal == SIGTRAP;
}

/* What the kernel tells a native program in the same case. */
static int TrapNumber(int signal, const siginfo_t* info) {
    switch (signal) {
    case SIGSEGV: return info->si_code == SI_KERNEL ? kTrapProtection : kTrapPageFault;
    case SIGBUS: return info->si_code == BUS_ADRALN ? kTrapAlignment
                      : info->si_code == SI_KERNEL  ? kTrapSegmentNotPresent
                                                    : kTrapPageFault;
    case SIGFPE: return info->si_code == FPE_INTDIV || info->si_code == FPE_INTOVF ? kTrapDivide : kTrapFloatingPoint;
    case SIGTRAP: return info->si_code == SI_KERNEL ? kTrapBreakpoint : kTrapDebug;
    default: return kTrapInvalidOpcode;
    }
}

/* Runs on the faulting thread, on whatever stack Wine asked for. It touches
 * no thread-local storage and calls nothing: it is built without the stack
 * protector, whose guard lives there. */
static void FillTrapNumber(int signal, siginfo_t* info, void* context) {
    ucontext_t* ucontext = context;
    /* si_code above 0 (SI_KERNEL included): the kernel or the emulator
     * raised it for a fault, not a program with kill(). */
    if (info != 0 && ucontext != 0 && info->si_code > 0 && ucontext->uc_mcontext.gregs[REG_TRAPNO] == -1)
        ucontext->uc_mcontext.gregs[REG_TRAPNO] = TrapNumber(signal, info);
    wineHandlers[signal](signal, info, context);
}

int sigaction(int signal, const struct sigaction* action, struct sigaction* old) {
    static Sigaction next;
    if (next == 0) next = (Sigaction)dlsym(RTLD_NEXT, "sigaction");
    if (signal <= 0 || signal >= NSIG || !IsFault(signal)) return next(signal, action, old);

    const Handler earlier = wineHandlers[signal];
    struct sigaction wrapped;
    const struct sigaction* installing = action;
    if (action != 0 && (action->sa_flags & SA_SIGINFO) != 0 && action->sa_sigaction != 0) {
        wineHandlers[signal] = action->sa_sigaction;
        wrapped = *action;
        wrapped.sa_sigaction = FillTrapNumber;
        installing = &wrapped;
    }
    const int result = next(signal, installing, old);
    if (result != 0) wineHandlers[signal] = earlier;
    /* The caller sees its own handler, never the wrapper. */
    if (result == 0 && old != 0 && (old->sa_flags & SA_SIGINFO) != 0 && old->sa_sigaction == FillTrapNumber)
        old->sa_sigaction = earlier;
    return result;
}

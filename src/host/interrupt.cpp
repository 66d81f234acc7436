#include "host/interrupt.h"

#include <atomic>
#include <csignal>

#if defined(_WIN32)
#include "host/windows_api.h"
#endif

namespace {

// Written by a signal handler or the console's handler thread, read by any.
std::atomic<int> noted{INTERRUPT_NONE};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may only touch this");

// True for the first interrupt; false when one was noted already.
bool note(int signal_number) {
    int none = INTERRUPT_NONE;
    return noted.compare_exchange_strong(none, signal_number);
}

}  // namespace

int interrupt_signal() {
    return noted.load();
}

int interrupt_status() {
    int signal_number = noted.load();
    return signal_number == INTERRUPT_NONE ? 0 : 128 + signal_number;
}

#if defined(_WIN32)

namespace {

using Handler = void (*)(int);
Handler previous_int = SIG_DFL;
Handler previous_term = SIG_DFL;
Handler previous_break = SIG_DFL;

// The C runtime's signals: what raise() sends within the program.
void on_signal(int signal_number) {
    int number = signal_number == SIGINT ? INTERRUPT_KEYBOARD : INTERRUPT_TERMINATE;
    if (!note(number)) {
        ExitProcess(static_cast<UINT>(128 + noted.load()));
    }
    std::signal(signal_number, on_signal);  // the runtime resets it on delivery
}

// Runs on a thread of its own that the console starts for each event.
BOOL WINAPI on_console_event(DWORD event) {
    int number = INTERRUPT_HANGUP;  // the window closed, log-off or shut-down
    if (event == CTRL_C_EVENT) {
        number = INTERRUPT_KEYBOARD;
    } else if (event == CTRL_BREAK_EVENT) {
        number = INTERRUPT_TERMINATE;
    }
    if (!note(number)) {
        ExitProcess(static_cast<UINT>(128 + noted.load()));
    }
    if (number == INTERRUPT_HANGUP) {
        // Windows ends the process as soon as this returns (or some seconds
        // after the event): hold on while the main thread puts the board
        // down; its exit ends this thread.
        Sleep(INFINITE);
    }
    return TRUE;
}

}  // namespace

void interrupt_arm() {
    previous_int = std::signal(SIGINT, on_signal);
    previous_term = std::signal(SIGTERM, on_signal);
    previous_break = std::signal(SIGBREAK, on_signal);
    // Installed last, so called before the runtime's own console handler.
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void interrupt_disarm() {
    SetConsoleCtrlHandler(on_console_event, FALSE);
    std::signal(SIGINT, previous_int == SIG_ERR ? SIG_DFL : previous_int);
    std::signal(SIGTERM, previous_term == SIG_ERR ? SIG_DFL : previous_term);
    std::signal(SIGBREAK, previous_break == SIG_ERR ? SIG_DFL : previous_break);
}

#else

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kCount = sizeof kSignals / sizeof kSignals[0];
struct sigaction previous[kCount];

void on_signal(int signal_number) {
    if (!note(signal_number)) {
        // The second: die of it, as if no handler had been there. It is
        // blocked while this runs and strikes as soon as this returns.
        std::signal(signal_number, SIG_DFL);
        std::raise(signal_number);
    }
}

}  // namespace

void interrupt_arm() {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // A system call the signal breaks into goes on: the run decides when to stop.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < kCount; ++i) {
        sigaction(kSignals[i], nullptr, &previous[i]);
        // A signal ignored from the start stays ignored (nohup, a background job).
        if (previous[i].sa_handler != SIG_IGN) {
            sigaction(kSignals[i], &action, nullptr);
        }
    }
}

void interrupt_disarm() {
    for (int i = 0; i < kCount; ++i) {
        sigaction(kSignals[i], &previous[i], nullptr);
    }
}

#endif

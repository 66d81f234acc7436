// Interrupts while a board is in hand: SIGINT, SIGTERM and SIGHUP (on
// Windows Ctrl-C, Ctrl-Break and closing the console). Armed, the first one
// is only noted, so that the program can stop at a safe point, release the
// pins and close the device; a second one ends the program at once.
// Disarmed (the default), every one ends the program at once.
#pragma once

// Signal numbers as POSIX has them, on every system: the exit status an
// interrupt asks for is 128 plus its number.
inline constexpr int INTERRUPT_NONE = 0;
inline constexpr int INTERRUPT_HANGUP = 1;      // SIGHUP; the console window closed
inline constexpr int INTERRUPT_KEYBOARD = 2;    // SIGINT; Ctrl-C
inline constexpr int INTERRUPT_TERMINATE = 15;  // SIGTERM; Ctrl-Break

// Installs the handlers (a signal ignored from the start stays ignored). Call
// from one thread, not while another arms or disarms.
void interrupt_arm();
// Puts the previous handlers back; what was noted stays noted.
void interrupt_disarm();
// The first interrupt noted while armed (INTERRUPT_*), or INTERRUPT_NONE.
// Safe from any thread at any time.
int interrupt_signal();
// 128 + interrupt_signal(): 129, 130 or 143; 0 when none was noted.
int interrupt_status();

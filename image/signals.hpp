#pragma once

// What the output's life cycle needs to hear of the signals (on Windows, the
// console's events) that end a process; one source file per platform.
namespace cardwrap::platform {

// Makes a write to a closed pipe or past the file-size limit fail, where it
// would otherwise end the process, so that the run can report it.
void ignore_write_signals();

// Until disarm(), a signal that would end the process first calls `undo`,
// which may only make async-signal-safe calls, and then ends the process by
// that same signal, as it would have ended without us. Call with the
// signals held.
void arm(void (*undo)());
void disarm();

// Between these two calls the signals that arm() catches wait, so that no
// step in between is cut in two (making a file and arming its removal;
// renaming it and disarming). Not nested.
void hold_signals();
void release_signals();

} // namespace cardwrap::platform

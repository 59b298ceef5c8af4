// Start-up options and the emulator command line of the launcher.
#ifndef LAUNCHER_CONTROL_H
#define LAUNCHER_CONTROL_H

// The three start-up options as ready-made command-line text, eleven
// characters plus the terminator. Position 0 is the double quote that closes
// the quoted ROM path; the flags live at fixed positions:
//   2..4 "-fs" (option 1, Fullscreen), 6..7 "-t" (option 2, Trace),
//   9..10 "-s" (option 3, Stats); every other position is a space.
// Toggling overwrites characters in place, so the length never changes.
extern char OptionString[12];

// Toggles option 1, 2 or 3 in text and returns its new state (1 on, 0 off).
int control_opciones(int option, char* text);

// Runs "morvane \"<path><options>" through the command interpreter and
// returns only when it has ended, with the result of system().
int control_cargar(char* path, char* options);

#endif

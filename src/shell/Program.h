#pragma once
// The program from its start to its end.

// Loads DLLs from System32 only, opens the main window and runs the message loop until the
// last window closes; returns the exit code.
int RunProgram(int showCommand);

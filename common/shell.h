#pragma once

#include <cstdio>

// Runs a shell command and waits for it. Standard output is flushed first so that a redirected
// log shows our texts and the command's output in the order they happened.
// Returns the command's exit status (0 to 255), or -1 when it could not be run.
int shell_run(const char* command);

// Starts a command with its output readable by us (stdout flushed first, as above).
FILE* shell_open(const char* command);
// Closes what shell_open started and waits for it; the exit status, or -1.
int shell_close(FILE* stream);

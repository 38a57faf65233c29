// The command line.
#pragma once

// Parses argv into cfg, pid_file_name and app_name (defaults first). Called once, first thing in
// main, on the main thread. On return *proceed is 1 when main should go on; 0 when the process
// must end at once with the returned status: 0 after -h, -v or -l, 1 after a bad command line
// (diagnostic on stderr, usage on stdout).
int load_settings(int argc, char** argv, int* proceed);

// Writes the usage text to standard output. Called for -h, for a bad command line and by the
// gateway when the capture device is not found.
void help();

// Prints the capture devices present (-l).
void list_capture_devices();

#pragma once

// The program: parses the command line, shows the update window and runs the
// event loop. Returns the process exit code.
int qMain(int argc, char **argv);

#pragma once

// The whole run: returns the process exit code.
int run_tervano(int argc, char** argv);

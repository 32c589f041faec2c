#pragma once

// Runs the watcher; returns only when start-up fails, with the exit status.
int start_up(int argc, char** argv);

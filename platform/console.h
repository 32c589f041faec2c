// The console's character set. The program writes its console text in code page 932, as the
// Windows console it was made for shows it; a terminal that shows another set gets the text
// converted line by line when KESTREL_CHARSET names that set (for example UTF-8).
#pragma once

// Sets the console up as a Windows console program finds it: the three standard streams open
// (a closed one gets the null device) and printing to a reader that went away failing instead
// of ending the program. Then reads KESTREL_CHARSET and, when it names a set other than CP932,
// routes standard output through a converter that writes and flushes each line as it is
// completed. Returns 0, or 2 after one line on standard error when the set is unknown.
//
// On Windows (win/console_win.cpp) the standard streams and the files the program opens are
// put in binary mode, so that a line ends in the one byte written; KESTREL_CHARSET names a
// code page of the system, and the converter takes the output of event commands along.
int con_ini();

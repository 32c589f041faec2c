// The console's character set. The program writes its console text in code page 932, as the
// Windows console it was made for shows it; a terminal that shows another set gets the text
// converted line by line when KESTREL_CHARSET names that set (for example UTF-8).
#pragma once
#include <string>

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

// Argument i of the program's command line as code page 932 text. With a set of the user's
// (KESTREL_CHARSET, as con_ini accepted it, other than CP932) it is read from that set, and on
// Windows from the characters of the command line (argv holds them in the system's code page,
// which may lack them); a character code page 932 lacks, and a byte the set does not read,
// become "?". Otherwise (and before con_ini) the bytes as they are.
std::string con_arg(int argc, char** argv, int i);

#ifdef _WIN32
// Whether the user named a set other than code page 932: commands then get their command line
// as the characters it holds (in UTF-16), which the system gives each in its own code page.
bool con_usr_set();
#else
// Code page 932 text in the user's set (the arguments of event commands), a character it lacks
// as "?"; without a set of the user's, the text as it is.
std::string con_out(const std::string& text);
#endif

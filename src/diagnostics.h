// Counting and printing of errors and warnings, and the summary exit.
#pragma once

#include <sstream>
#include <string>

using String = std::string;

enum Severity { SevError = 0, SevWarning = 1 };

// Prints "Error - " or "Warning - " and text (unless quiet) and counts it.
// With fatal set, ends the run through printSummaryAndExit(255).
void reportMessage(Severity severity, const String& context, const String& text, int fatal);
// The same with the text composed in s; s is emptied afterwards.
void reportStream(Severity severity, const String& context, std::ostringstream& s, int fatal);

// Prints the counters (unless quiet) and ends the process with status.
void printSummaryAndExit(int status);

void setQuiet(int quiet);
int isQuiet();
void setVerbose(int verbose);
int getErrorCount();
int getWarningCount();

// Clears the counters and flags (tests and fuzzers run many jobs in one process).
void resetDiagnostics();

// Each main scans its whole command line for exactly -q, /q, -Q or /Q.
int hasQuietSwitch(int argc, char** argv);

// Binds the error stream to the standard output's buffer so that every
// diagnostic appears in order with the rest of the output.
void bindErrorStreamToStdout();

// -o: the result where the user wants it, in the format that the path's
// extension names, created without following a link and never over an
// existing file unless --force (and then only over a regular file).
#ifndef QUELLIX_DEPS_INSPECTOR_OUTPUT_H_
#define QUELLIX_DEPS_INSPECTOR_OUTPUT_H_

#include <stdio.h>

enum OutputFormat { kOutputAsWritten, kOutputFlameGraph, kOutputFolded, kOutputPprof };

// The format that the extension of path asks of a result which the runtime
// writes with the extension result_ext ("cpuprofile", "heapsnapshot", ...);
// false when the path names a format that such a result cannot take.
bool ChooseOutputFormat(const char* path, const char* result_ext, OutputFormat* format);
// What a format is called in the "Written:" line.
const char* OutputFormatName(OutputFormat format);

// Before anything is sent: true when the command writes a result file
// (result_ext, else null), path's extension fits it, and path can be
// created (with force: replaced, where it is a regular file). Otherwise
// prints why and returns false.
bool CheckOutput(const char* path, const char* result_ext, bool force);

// The file being written for path: a temporary file beside it until it is
// published whole. While one is open, the signals that end the tool wait.
struct OutputFile {
  FILE* file;
  char path[4096];
  char temp[4096];
};
// Creates the temporary file; false after printing why.
bool CreateOutput(const char* path, OutputFile* out);
// True when a signal to end the tool has come meanwhile (it is then taken,
// and the writing should stop).
bool OutputInterrupted();
// Puts the written file in place at its path (replacing a regular file
// with force, else only where nothing is) and prints the "Written:" line
// with format; otherwise removes it and prints why, with kept: where the
// result stays. False when it was not published.
bool PublishOutput(OutputFile* out, bool force, OutputFormat format, const char* kept);
// Removes the temporary file after a failure that the caller printed, and
// says where the result stays (kept).
void DiscardOutput(OutputFile* out, const char* kept);
// Says where the result stays when no output was written.
void PrintResultStays(const char* kept);

#endif  // QUELLIX_DEPS_INSPECTOR_OUTPUT_H_

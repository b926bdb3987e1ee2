// quellix's own options, taken out of the command line.
#ifndef QUELLIX_DEPS_INSPECTOR_OPTIONS_H_
#define QUELLIX_DEPS_INSPECTOR_OPTIONS_H_

// quellix's own options. They stand anywhere in both forms and are taken out
// of the arguments before these are read, so that they never reach the
// runtime as V8 flags.
struct OwnOptions {
  bool attach;
  bool unguarded;
  bool json;
  bool list;
  bool stack;
  bool wait;
  int wait_limit;          // seconds; 0: no limit
  const char* bad_wait;    // the text of an invalid --wait=, or null
  const char* wait_apart;  // a limit given as the word after --wait, or null
  bool force;
  bool quiet;
  const char* output;      // -o: where the result goes, or null
  const char* bad_output;  // -o or --output without a path, or null
};

// Prints the section of --help that names quellix's own options.
void PrintOwnOptions();
// Fills own from the command line and takes quellix's own options out of it
// (argc and argv shrink to the other words).
void TakeOwnOptions(int* argc, char** argv, OwnOptions* own);

#endif  // QUELLIX_DEPS_INSPECTOR_OPTIONS_H_

// Folded stacks: one line per stack, its frames from the outermost joined
// by ';', a blank and its count ("main;work;burn 21").
#ifndef QUELLIX_DEPS_INSPECTOR_FOLDED_H_
#define QUELLIX_DEPS_INSPECTOR_FOLDED_H_

#include <stdio.h>

#include "call_tree.h"

// Writes a line for each call site with a count (self) to out; a frame is
// "name path:line" (or the name alone). False when a write failed.
bool WriteFolded(const CallTree& tree, FILE* out);

#endif  // QUELLIX_DEPS_INSPECTOR_FOLDED_H_

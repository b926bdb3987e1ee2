// A flame graph of a call tree as one self-contained HTML file: the tree
// and a small script that draws it, with zoom and search, and nothing that
// reaches the network.
#ifndef QUELLIX_DEPS_INSPECTOR_FLAME_GRAPH_H_
#define QUELLIX_DEPS_INSPECTOR_FLAME_GRAPH_H_

#include <stdio.h>

#include "call_tree.h"

// Writes the page to out: title heads it, unit names what self counts
// ("samples"). False when a write failed.
bool WriteFlameGraph(const CallTree& tree, const char* title, const char* unit, FILE* out);

#endif  // QUELLIX_DEPS_INSPECTOR_FLAME_GRAPH_H_

// The call tree of a profile: call sites with what was counted at each, and
// the functions they run. The CPU and heap profile readers fill it; the
// summaries and the output formats walk it.
#ifndef QUELLIX_DEPS_INSPECTOR_CALL_TREE_H_
#define QUELLIX_DEPS_INSPECTOR_CALL_TREE_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

// A function as V8 names it: its name and script (indexes into strings)
// and where it begins, from 0 as V8 counts (-1: unknown).
struct CallFunction {
  uint32_t name;
  uint32_t url;
  int32_t line;
  int32_t column;
};

// One call site: its caller's site (-1 for a root), the function it runs,
// and what was counted with it on top of the stack: self is samples in a
// CPU profile and bytes still live in a heap profile, count the samples.
struct CallNode {
  int32_t parent;
  uint32_t function;
  int64_t self;
  int64_t count;
};

struct CallTree {
  std::vector<std::string> strings;
  std::vector<CallFunction> functions;
  // After FinishCallTree, in depth-first order: each node after its
  // parent, each subtree in one piece, siblings as they were.
  std::vector<CallNode> nodes;
  std::unordered_map<std::string, uint32_t> string_ids;
  std::unordered_map<std::string, uint32_t> function_ids;
};

// The most call sites a tree holds; a larger profile is refused.
const size_t kCallTreeNodeLimit = 1 << 24;
// The most samples a profile may give before the call sites they name.
const size_t kPendingSampleLimit = 1 << 24;
// The largest count of one call site: with at most kCallTreeNodeLimit of
// them, no sum over a tree can overflow.
const int64_t kCallNodeCountLimit = INT64_C(1) << 38;

// The function of that name, script and place, added once.
uint32_t AddFunction(CallTree* tree, const std::string& name, const std::string& url, int64_t line, int64_t column);
// Puts the nodes in depth-first order. False, with the reason in error
// (size bytes), when a node's parents lead round in a loop.
bool FinishCallTree(CallTree* tree, char* error, size_t size);
// The sum of self over the whole tree.
int64_t TreeSelfTotal(const CallTree& tree);
// Per function: self, and total (what was counted while the function was
// anywhere on the stack, once however often it recurs).
void SumByFunction(const CallTree& tree, std::vector<int64_t>* self, std::vector<int64_t>* total);
// True for the root that V8 puts above every stack, "(root)", which no
// stack written out needs.
bool IsV8Root(const CallTree& tree, size_t node);
// The function's name ("(anonymous)" for none) into name, and its script
// and line, counted from 1 ("path:line", a file: URL as its path; empty
// for none), into where.
void DescribeFunction(const CallTree& tree, uint32_t function, char* name, size_t name_size, char* where,
                      size_t where_size);

#endif  // QUELLIX_DEPS_INSPECTOR_CALL_TREE_H_

// The call tree of a profile: interning of names and functions, the
// depth-first order, and sums by function. Uses nothing of the project.
#include "call_tree.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

static uint32_t AddString(CallTree* tree, const std::string& text) {
  auto found = tree->string_ids.find(text);
  if (found != tree->string_ids.end()) return found->second;
  uint32_t id = static_cast<uint32_t>(tree->strings.size());
  tree->strings.push_back(text);
  tree->string_ids.emplace(text, id);
  return id;
}

// A line or column as V8 gives it, or -1 where it is none.
static int32_t Position(int64_t value) { return value >= 0 && value < INT32_MAX ? static_cast<int32_t>(value) : -1; }

uint32_t AddFunction(CallTree* tree, const std::string& name, const std::string& url, int64_t line, int64_t column) {
  CallFunction function = {AddString(tree, name), AddString(tree, url), Position(line), Position(column)};
  char key[64];
  snprintf(key, sizeof(key), "%u:%u:%d:%d", function.name, function.url, function.line, function.column);
  auto found = tree->function_ids.find(key);
  if (found != tree->function_ids.end()) return found->second;
  uint32_t id = static_cast<uint32_t>(tree->functions.size());
  tree->functions.push_back(function);
  tree->function_ids.emplace(key, id);
  return id;
}

bool FinishCallTree(CallTree* tree, char* error, size_t size) {
  const int32_t n = static_cast<int32_t>(tree->nodes.size());
  // Children as lists, in their original order.
  std::vector<int32_t> first_child(n, -1), next_sibling(n, -1);
  for (int32_t i = n - 1; i >= 0; i--) {
    int32_t parent = tree->nodes[i].parent;
    if (parent < 0) continue;
    next_sibling[i] = first_child[parent];
    first_child[parent] = i;
  }
  std::vector<int32_t> order, renumbered(n, -1), stack;
  order.reserve(n);
  for (int32_t root = n - 1; root >= 0; root--) {
    if (tree->nodes[root].parent < 0) stack.push_back(root);
  }
  // Roots were pushed last first, so the first root comes out first; so do
  // the children below.
  while (!stack.empty()) {
    int32_t node = stack.back();
    stack.pop_back();
    renumbered[node] = static_cast<int32_t>(order.size());
    order.push_back(node);
    size_t mark = stack.size();
    for (int32_t child = first_child[node]; child != -1; child = next_sibling[child]) stack.push_back(child);
    std::reverse(stack.begin() + static_cast<ptrdiff_t>(mark), stack.end());
  }
  // A node that no root reaches sits on a loop of parents.
  if (order.size() != static_cast<size_t>(n)) {
    snprintf(error, size, "%d of its %d call sites are their own callers", n - static_cast<int32_t>(order.size()), n);
    return false;
  }
  std::vector<CallNode> sorted;
  sorted.reserve(n);
  for (int32_t old : order) {
    CallNode node = tree->nodes[old];
    if (node.parent >= 0) node.parent = renumbered[node.parent];
    sorted.push_back(node);
  }
  tree->nodes.swap(sorted);
  return true;
}

int64_t TreeSelfTotal(const CallTree& tree) {
  int64_t total = 0;
  for (const CallNode& node : tree.nodes) total += node.self;
  return total;
}

void SumByFunction(const CallTree& tree, std::vector<int64_t>* self, std::vector<int64_t>* total) {
  const size_t n = tree.nodes.size();
  self->assign(tree.functions.size(), 0);
  total->assign(tree.functions.size(), 0);
  // What each subtree counted: children come after their parent.
  std::vector<int64_t> subtree(n);
  for (size_t i = 0; i < n; i++) subtree[i] = tree.nodes[i].self;
  for (size_t i = n; i-- > 0;) {
    if (tree.nodes[i].parent >= 0) subtree[tree.nodes[i].parent] += subtree[i];
  }
  // The path from the root to the current node, and how often each
  // function is on it: only its outermost call counts to its total.
  std::vector<int32_t> path;
  std::vector<int32_t> on_path(tree.functions.size(), 0);
  for (size_t i = 0; i < n; i++) {
    const CallNode& node = tree.nodes[i];
    while (!path.empty() && path.back() != node.parent) {
      on_path[tree.nodes[path.back()].function]--;
      path.pop_back();
    }
    (*self)[node.function] += node.self;
    if (on_path[node.function]++ == 0) (*total)[node.function] += subtree[i];
    path.push_back(static_cast<int32_t>(i));
  }
}

bool IsV8Root(const CallTree& tree, size_t node) {
  const CallFunction& f = tree.functions[tree.nodes[node].function];
  return tree.nodes[node].parent < 0 && tree.strings[f.name] == "(root)" && tree.strings[f.url].empty();
}

void DescribeFunction(const CallTree& tree, uint32_t function, char* name, size_t name_size, char* where,
                      size_t where_size) {
  const CallFunction& f = tree.functions[function];
  const std::string& own = tree.strings[f.name];
  snprintf(name, name_size, "%s", own.empty() ? "(anonymous)" : own.c_str());
  const char* url = tree.strings[f.url].c_str();
  if (strncmp(url, "file://", 7) == 0) url += 7;
  if (url[0] == '\0') {
    where[0] = '\0';
  } else if (f.line >= 0) {
    snprintf(where, where_size, "%s:%d", url, f.line + 1);
  } else {
    snprintf(where, where_size, "%s", url);
  }
}

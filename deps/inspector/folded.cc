// Folded stacks of a call tree, the text that flame graph tools take in.
// Uses the call tree.
#include "folded.h"

#include <string.h>

#include <string>
#include <vector>

// One frame's text: no ';' (which separates frames) and no control
// character (a line end would split the line).
static void AppendFrame(const CallTree& tree, uint32_t function, std::string* line) {
  char name[1024], where[2048];
  DescribeFunction(tree, function, name, sizeof(name), where, sizeof(where));
  std::string frame = name;
  if (where[0] != '\0') frame += std::string(" ") + where;
  for (char& c : frame) {
    if (c == ';') c = ':';
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  line->append(frame);
}

bool WriteFolded(const CallTree& tree, FILE* out) {
  // The stack's text so far, and where each frame on it began: the nodes
  // come in depth-first order, so the stack follows them.
  std::string line;
  std::vector<std::pair<int32_t, size_t>> path;  // node, length of line before it
  for (size_t i = 0; i < tree.nodes.size(); i++) {
    const CallNode& node = tree.nodes[i];
    while (!path.empty() && path.back().first != node.parent) {
      line.resize(path.back().second);
      path.pop_back();
    }
    path.emplace_back(static_cast<int32_t>(i), line.size());
    // The root above every stack is left out, unless it counted itself.
    bool root = IsV8Root(tree, i);
    if (!root) {
      if (!line.empty()) line += ';';
      AppendFrame(tree, node.function, &line);
    }
    if (node.self <= 0) continue;
    if (root) {
      if (fprintf(out, "(root) %lld\n", static_cast<long long>(node.self)) < 0) return false;
    } else if (fprintf(out, "%s %lld\n", line.c_str(), static_cast<long long>(node.self)) < 0) {
      return false;
    }
  }
  return fflush(out) == 0 && ferror(out) == 0;
}

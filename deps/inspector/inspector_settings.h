// The inspector a node process would open, from its own options.
#ifndef QUELLIX_DEPS_INSPECTOR_INSPECTOR_SETTINGS_H_
#define QUELLIX_DEPS_INSPECTOR_INSPECTOR_SETTINGS_H_

#include <stddef.h>

// --- Node's inspector: what a target says, parsed within bounds ---------------
// Everything here reads text that the target controls: its command line, its
// environment, its sockets' table and what its inspector answers.

// The inspector a node process would open on SIGUSR1, from its options.
struct InspectorSettings {
  char host[256];         // "127.0.0.1" unless an option names another host
  int port;               // 9229 unless an option names another; 0: any free port
  bool disable_sigusr1;   // --disable-sigusr1
  bool permission;        // --permission or --experimental-permission
  bool http_unpublished;  // --inspect-publish-uid without http: no /json/list
  bool open_at_start;     // --inspect, --inspect-brk or --inspect-wait
};
// Reads the settings from NODE_OPTIONS (node_options, may be null) and then
// from the node options of a command line (NUL-separated words, argv[0]
// first, len bytes), which win; the words after the script are the
// application's and are not looked at.
void ParseInspectorSettings(const char* cmdline, size_t len, const char* node_options, InspectorSettings* settings);
// True for "localhost", a 127.0.0.0/8 address and ::1.
bool IsLoopbackHost(const char* host);

#endif  // QUELLIX_DEPS_INSPECTOR_INSPECTOR_SETTINGS_H_

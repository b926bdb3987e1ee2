// JSON within bounds: one member of a target's reply, and escaped strings.
#ifndef QUELLIX_DEPS_INSPECTOR_JSON_H_
#define QUELLIX_DEPS_INSPECTOR_JSON_H_

#include <stddef.h>

// Finds the first member named key in the JSON text (at the top level only,
// or at any depth) and copies its value into value (size bytes): a string
// unescaped, anything else as written. Returns 's' for a string, 'o' for an
// object, 'a' for an array, 'v' for any other value, 0 when there is no such
// member or the text is no JSON within the nesting limit.
int JsonMember(const char* json, size_t len, const char* key, bool any_depth, char* value, size_t size);
// Copies element index (from 0) of the JSON array text into value, as
// JsonMember does; 0 when the array has no such element or is no JSON array.
int JsonElement(const char* json, size_t len, int index, char* value, size_t size);
// Writes text as the inside of a JSON string into out (size bytes): '"' and
// '\\' escaped, a line feed as \n, other control characters as \u00XX, and
// each byte that is no part of well-formed UTF-8 as \ufffd. The length
// written, or 0 when it does not fit.
size_t JsonEscape(const char* text, size_t len, char* out, size_t size);

#endif  // QUELLIX_DEPS_INSPECTOR_JSON_H_

// The ELF reader: dynamic symbols of a file that may come from a target.
#ifndef QUELLIX_DEPS_INSPECTOR_ELF_READER_H_
#define QUELLIX_DEPS_INSPECTOR_ELF_READER_H_

// True when the ELF file open on fd exports name among its dynamic symbols
// (defined, global or weak, visible); any malformed or foreign file is false.
bool ElfExportsSymbol(int fd, const char* name);

#endif  // QUELLIX_DEPS_INSPECTOR_ELF_READER_H_

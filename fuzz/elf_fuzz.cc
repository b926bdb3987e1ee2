// Fuzzes the ELF reader (ElfExportsSymbol) on files the target's side may
// have written: the input becomes a whole file in memory (a memfd), so every
// read goes through pread as it does on a real file.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <initializer_list>

#include "elf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("elf_fuzz", MFD_CLOEXEC);
  if (fd == -1) abort();
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  // An exported name, an imported one, and one no file has.
  for (const char* name : {"napi_module_register", "imported_elsewhere", "no_such_symbol"}) {
    ElfExportsSymbol(fd, name);
  }
  close(fd);
  return 0;
}

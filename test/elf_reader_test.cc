// Unit tests of the ELF reader on real files and on the fuzz corpus's seeds.
#include "elf_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

// Real files with either hash table, and the small seeds of the fuzz corpus:
// 32- and 64-bit, little- and big-endian, each exporting the entry point and
// importing one name.
TEST(ElfExportsSymbolTest, Files) {
  const std::string seeds = std::string(SOURCE_DIR) + "/fuzz/corpus/elf/";
  struct Case {
    std::string path;
    const char* name;
    bool exported;
  } cases[] = {
      {PEER_BIN, "napi_module_register", true},
      {PEER_BIN, "napi_module_registe", false},
      {PEER_BIN, "getenv", false},  // imported, not defined
      {LIBNODE_STANDIN, "napi_module_register", true},
      {"/proc/self/exe", "napi_module_register", false},
      {seeds + "elf32-le-gnu", "napi_module_register", true},
      {seeds + "elf32-le-sysv", "napi_module_register", true},
      {seeds + "elf32-be-sysv", "napi_module_register", true},
      {seeds + "elf64-be-gnu", "napi_module_register", true},
      {seeds + "elf64-be-sysv", "napi_module_register", true},
      {seeds + "elf64-le-both", "another_export", true},
      {seeds + "elf64-le-gnu", "hidden_helper", false},
      {seeds + "elf64-le-gnu", "imported_elsewhere", false},
      {seeds + "not-elf", "napi_module_register", false},
      {"/dev/null", "napi_module_register", false},
  };
  for (const Case& c : cases) {
    int fd = open(c.path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_NE(-1, fd) << c.path;
    EXPECT_EQ(c.exported, ElfExportsSymbol(fd, c.name)) << c.path << " " << c.name;
    close(fd);
  }
}

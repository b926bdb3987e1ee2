// The ELF reader: whether a file exports a dynamic symbol, found through the
// file's own hash tables. Reads only the file it is given, with the C
// library; nothing else of quellix.
#include "elf_reader.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// ELF dynamic symbols: read from a file that the target's side may have
// written, so every offset, size and count is checked against the file and
// every read is a bounded pread.
// ---------------------------------------------------------------------------

namespace {

// Where the fields of the 32- and 64-bit layouts lie.
struct ElfLayout {
  unsigned word;                                      // size of an address, offset or dynamic value
  unsigned phoff, phentsize, phnum;                   // in the file header
  unsigned ph_size, ph_offset, ph_vaddr, ph_filesz;   // in a program header
  unsigned sym_size, sym_info, sym_other, sym_shndx;  // in a symbol; its name offset is at 0
};
const ElfLayout kElf32 = {4, 28, 42, 44, 32, 4, 8, 16, 16, 12, 13, 14};
const ElfLayout kElf64 = {8, 32, 54, 56, 56, 8, 16, 32, 24, 4, 5, 6};

const unsigned PT_LOAD_TYPE = 1;
const unsigned PT_DYNAMIC_TYPE = 2;
const uint64_t DT_HASH_TAG = 4;
const uint64_t DT_STRTAB_TAG = 5;
const uint64_t DT_SYMTAB_TAG = 6;
const uint64_t DT_STRSZ_TAG = 10;
const uint64_t DT_SYMENT_TAG = 11;
const uint64_t DT_GNU_HASH_TAG = 0x6ffffef5;
// Bounds far above any real file: a node binary has about 10 program
// headers, 40 dynamic entries and hash chains of a few entries.
const unsigned MAX_PROGRAM_HEADERS = 64;
const unsigned MAX_LOADS = 16;
const unsigned MAX_DYNAMIC_ENTRIES = 1024;
const unsigned MAX_CHAIN_STEPS = 4096;
const size_t MAX_SYMBOL_NAME = 256;

struct ElfSegment {
  uint64_t vaddr, offset, filesz;
};

struct ElfFile {
  int fd;
  uint64_t size;
  bool big_endian;
  const ElfLayout* layout;
  ElfSegment loads[MAX_LOADS];
  unsigned load_count;
  uint64_t symtab, strtab, strsz;  // file offsets and size
};

// An unsigned field of width bytes in the file's byte order.
uint64_t Field(const ElfFile& elf, const unsigned char* at, unsigned width) {
  uint64_t value = 0;
  for (unsigned i = 0; i < width; i++) {
    unsigned shift = 8 * (elf.big_endian ? width - 1 - i : i);
    value |= static_cast<uint64_t>(at[i]) << shift;
  }
  return value;
}

// Reads exactly len bytes at offset, all of them inside the file.
bool ReadAt(const ElfFile& elf, uint64_t offset, void* buf, size_t len) {
  if (offset > elf.size || len > elf.size - offset) return false;
  size_t done = 0;
  while (done < len) {
    ssize_t got = pread(elf.fd, static_cast<char*>(buf) + done, len - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool ReadWord32(const ElfFile& elf, uint64_t offset, uint32_t* value) {
  unsigned char bytes[4];
  if (!ReadAt(elf, offset, bytes, sizeof(bytes))) return false;
  *value = static_cast<uint32_t>(Field(elf, bytes, 4));
  return true;
}

// base + index * scale without overflow.
bool OffsetOf(uint64_t base, uint64_t index, uint64_t scale, uint64_t* offset) {
  uint64_t step;
  return !__builtin_mul_overflow(index, scale, &step) && !__builtin_add_overflow(base, step, offset);
}

// The file offset of a virtual address, through the loadable segment that
// holds it.
bool AddressToOffset(const ElfFile& elf, uint64_t address, uint64_t* offset) {
  for (unsigned i = 0; i < elf.load_count; i++) {
    const ElfSegment& load = elf.loads[i];
    if (address >= load.vaddr && address - load.vaddr < load.filesz) {
      return OffsetOf(load.offset, address - load.vaddr, 1, offset);
    }
  }
  return false;
}

// Reads the file header and the program headers: the loadable segments and
// where the dynamic section lies.
bool ReadElfHeaders(ElfFile* elf, uint64_t* dynamic, uint64_t* dynamic_size) {
  unsigned char header[64];
  if (!ReadAt(*elf, 0, header, sizeof(header)) || memcmp(header, "\177ELF", 4) != 0 || header[6] != 1) return false;
  if ((header[4] != 1 && header[4] != 2) || (header[5] != 1 && header[5] != 2)) return false;
  elf->layout = header[4] == 1 ? &kElf32 : &kElf64;
  elf->big_endian = header[5] == 2;
  const ElfLayout& l = *elf->layout;
  uint64_t phoff = Field(*elf, header + l.phoff, l.word);
  uint64_t phnum = Field(*elf, header + l.phnum, 2);
  if (Field(*elf, header + l.phentsize, 2) != l.ph_size || phnum == 0 || phnum > MAX_PROGRAM_HEADERS) return false;
  unsigned char headers[MAX_PROGRAM_HEADERS * 56];
  if (!ReadAt(*elf, phoff, headers, phnum * l.ph_size)) return false;
  *dynamic_size = 0;
  for (uint64_t i = 0; i < phnum; i++) {
    const unsigned char* ph = headers + i * l.ph_size;
    uint64_t type = Field(*elf, ph, 4);
    uint64_t offset = Field(*elf, ph + l.ph_offset, l.word);
    uint64_t filesz = Field(*elf, ph + l.ph_filesz, l.word);
    if (type == PT_LOAD_TYPE && elf->load_count < MAX_LOADS) {
      elf->loads[elf->load_count++] = {Field(*elf, ph + l.ph_vaddr, l.word), offset, filesz};
    } else if (type == PT_DYNAMIC_TYPE) {
      *dynamic = offset;
      *dynamic_size = filesz;
    }
  }
  return *dynamic_size != 0;
}

// Reads the dynamic section for the symbol table, the string table and the
// hash tables (their file offsets; 0 when absent).
bool ReadDynamic(ElfFile* elf, uint64_t dynamic, uint64_t dynamic_size, uint64_t* gnu_hash, uint64_t* hash) {
  const ElfLayout& l = *elf->layout;
  const unsigned entry = 2 * l.word;
  uint64_t entries = dynamic_size / entry;
  if (entries > MAX_DYNAMIC_ENTRIES) entries = MAX_DYNAMIC_ENTRIES;
  uint64_t symtab = 0, strtab = 0, gnu = 0, sysv = 0, syment = l.sym_size;
  elf->strsz = 0;
  unsigned char chunk[32 * 16];
  for (uint64_t i = 0; i < entries; i++) {
    if (i % 32 == 0) {
      uint64_t count = entries - i < 32 ? entries - i : 32;
      if (!ReadAt(*elf, dynamic + i * entry, chunk, count * entry)) return false;
    }
    const unsigned char* at = chunk + (i % 32) * entry;
    uint64_t tag = Field(*elf, at, l.word), value = Field(*elf, at + l.word, l.word);
    if (tag == 0) break;  // DT_NULL ends the section
    if (tag == DT_SYMTAB_TAG) symtab = value;
    if (tag == DT_STRTAB_TAG) strtab = value;
    if (tag == DT_STRSZ_TAG) elf->strsz = value;
    if (tag == DT_SYMENT_TAG) syment = value;
    if (tag == DT_GNU_HASH_TAG) gnu = value;
    if (tag == DT_HASH_TAG) sysv = value;
  }
  *gnu_hash = 0;
  *hash = 0;
  if (syment != l.sym_size || elf->strsz == 0) return false;
  if (!AddressToOffset(*elf, symtab, &elf->symtab) || !AddressToOffset(*elf, strtab, &elf->strtab)) return false;
  if (gnu != 0 && !AddressToOffset(*elf, gnu, gnu_hash)) *gnu_hash = 0;
  if (sysv != 0 && !AddressToOffset(*elf, sysv, hash)) *hash = 0;
  return *gnu_hash != 0 || *hash != 0;
}

// True when symbol index is name, defined in the file and visible to others
// (global, weak or unique binding; default or protected visibility).
bool IsExportedAs(const ElfFile& elf, uint64_t index, const char* name, size_t name_len) {
  const ElfLayout& l = *elf.layout;
  unsigned char sym[24];
  uint64_t at;
  if (!OffsetOf(elf.symtab, index, l.sym_size, &at) || !ReadAt(elf, at, sym, l.sym_size)) return false;
  uint64_t name_at = Field(elf, sym, 4);
  if (name_at >= elf.strsz || name_len + 1 > elf.strsz - name_at) return false;
  char text[MAX_SYMBOL_NAME + 1];
  if (!ReadAt(elf, elf.strtab + name_at, text, name_len + 1) || memcmp(text, name, name_len + 1) != 0) return false;
  unsigned bind = sym[l.sym_info] >> 4, visibility = sym[l.sym_other] & 3;
  bool defined = Field(elf, sym + l.sym_shndx, 2) != 0;
  return defined && (bind == 1 || bind == 2 || bind == 10) && (visibility == 0 || visibility == 3);
}

bool FindInGnuHash(const ElfFile& elf, uint64_t table, const char* name, size_t name_len) {
  uint32_t hash = 5381;
  for (const char* c = name; *c != '\0'; c++) hash = hash * 33 + static_cast<unsigned char>(*c);
  uint32_t nbuckets, symoffset, bloom_size;
  if (!ReadWord32(elf, table, &nbuckets) || !ReadWord32(elf, table + 4, &symoffset) ||
      !ReadWord32(elf, table + 8, &bloom_size) || nbuckets == 0) {
    return false;
  }
  uint64_t buckets, chains;
  if (!OffsetOf(table + 16, bloom_size, elf.layout->word, &buckets) || !OffsetOf(buckets, nbuckets, 4, &chains)) {
    return false;
  }
  uint32_t index;
  if (!ReadWord32(elf, buckets + 4ULL * (hash % nbuckets), &index) || index < symoffset) return false;
  // The chain ends with the entry whose lowest bit is set.
  for (unsigned step = 0; step < MAX_CHAIN_STEPS; step++, index++) {
    uint32_t entry;
    uint64_t at;
    if (!OffsetOf(chains, index - symoffset, 4, &at) || !ReadWord32(elf, at, &entry)) return false;
    if ((entry | 1) == (hash | 1) && IsExportedAs(elf, index, name, name_len)) return true;
    if ((entry & 1) != 0 || index == UINT32_MAX) return false;
  }
  return false;
}

bool FindInSysvHash(const ElfFile& elf, uint64_t table, const char* name, size_t name_len) {
  uint32_t hash = 0;
  for (const char* c = name; *c != '\0'; c++) {
    hash = (hash << 4) + static_cast<unsigned char>(*c);
    uint32_t high = hash & 0xf0000000;
    if (high != 0) hash ^= high >> 24;
    hash &= ~high;
  }
  uint32_t nbucket, nchain, index;
  if (!ReadWord32(elf, table, &nbucket) || !ReadWord32(elf, table + 4, &nchain) || nbucket == 0) return false;
  const uint64_t chains = table + 8 + 4ULL * nbucket;
  if (!ReadWord32(elf, table + 8 + 4ULL * (hash % nbucket), &index)) return false;
  // Index 0 is the undefined symbol that ends every chain.
  for (unsigned step = 0; step < MAX_CHAIN_STEPS && index != 0 && index < nchain; step++) {
    if (IsExportedAs(elf, index, name, name_len)) return true;
    if (!ReadWord32(elf, chains + 4ULL * index, &index)) return false;
  }
  return false;
}

}  // namespace

bool ElfExportsSymbol(int fd, const char* name) {
  struct stat info;
  size_t name_len = strlen(name);
  if (name_len == 0 || name_len > MAX_SYMBOL_NAME || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  ElfFile elf;
  memset(&elf, 0, sizeof(elf));
  elf.fd = fd;
  elf.size = static_cast<uint64_t>(info.st_size);
  uint64_t dynamic = 0, dynamic_size = 0, gnu_hash = 0, hash = 0;
  if (!ReadElfHeaders(&elf, &dynamic, &dynamic_size) || !ReadDynamic(&elf, dynamic, dynamic_size, &gnu_hash, &hash)) {
    return false;
  }
  // The GNU table, where there is one, lists every defined symbol.
  if (gnu_hash != 0) return FindInGnuHash(elf, gnu_hash, name, name_len);
  return FindInSysvHash(elf, hash, name, name_len);
}

// A stand-in for a shared libnode: it exports node's addon entry point, and
// is linked with the older SysV hash table only, so that both hash tables of
// the ELF reader are exercised by real files.
extern "C" void napi_module_register(void*) {}

// Linked into each extension module built with VORNAK_STATIC_RUNTIME.
//
// The copy of libstdc++ linked into a module was compiled against a C library
// (glibc 2.32 or later) that publishes __libc_single_threaded, and reads it to
// skip atomic reference counting while a process has one thread. Left to the C
// library, that reference would make the module need glibc 2.32. Defined here
// as zero (never single-threaded) and hidden in the module, it binds that copy
// to this flag instead: the copy always counts atomically, which is right in
// every process, and the module runs on glibc 2.17. Code of our own never reads
// the flag; it affects only the runtime's internals, such as the reference
// counts of exception messages and locales.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}

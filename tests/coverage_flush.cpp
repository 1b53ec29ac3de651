// Linked into the quoxel binary of coverage builds only: SIGTERM writes the profile, then exits.
#include <csignal>
#include <unistd.h>

extern "C" int __llvm_profile_write_file(void);

namespace {
void flush_and_exit(int) {
    __llvm_profile_write_file();
    _exit(0);
}
const bool installed = [] { return signal(SIGTERM, flush_and_exit) != SIG_ERR; }();
}  // namespace

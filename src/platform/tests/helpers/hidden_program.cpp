// A program that hides itself as a non-dumpable process does: it makes itself
// non-dumpable (its /proc/<pid>/exe can no longer be read, even by its own user), takes
// the command name given in HIDDEN_COMM, and waits to be ended.
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>

int main() {
  const char* name = std::getenv("HIDDEN_COMM");  // NOLINT(concurrency-mt-unsafe): one thread
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return 1;
  if (name != nullptr && ::prctl(PR_SET_NAME, name, 0, 0, 0) != 0) return 1;
  for (;;) ::pause();
}

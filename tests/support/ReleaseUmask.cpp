// Linked into every test: fixtures get a release's modes whatever umask the
// test command runs under (002, so that the build's own modes are checked).
#include <sys/stat.h>

namespace {
[[maybe_unused]] const mode_t kInherited = ::umask(022);
} // namespace

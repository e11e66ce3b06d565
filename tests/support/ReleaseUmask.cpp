// Linked into every test: what the tests make as fixtures (bundles, images,
// patches) has the modes a release has, whatever umask the test command runs
// under (it runs under 002, so that the build's own modes are checked).
#include <sys/stat.h>

namespace {
[[maybe_unused]] const mode_t kInherited = ::umask(022);
} // namespace

// The one instantiation of the SipHash variants the core uses.
#include "siphash.hpp"

namespace vrel {

// Compiling every member here once keeps both variants checked even where no caller
// uses them yet; inline callers are unaffected.
template class SipHasher<1, 3>;
template class SipHasher<2, 4>;

}  // namespace vrel

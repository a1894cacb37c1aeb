// Whether this build runs under AddressSanitizer or ThreadSanitizer: the program is several
// times slower there, and the sanitizers bring their own allocator and address-space needs.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VX_SANITIZED 1
#else
#define VX_SANITIZED 0
#endif

namespace vxtest {

constexpr bool sanitized = VX_SANITIZED != 0;

}  // namespace vxtest

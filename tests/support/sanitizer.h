#pragma once
// Whether this test binary runs under AddressSanitizer, which reserves far more address space
// than any limit a test of low memory sets.

inline bool runsUnderAddressSanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

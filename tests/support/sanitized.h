#pragma once

// QUILLMERE_SANITIZED is defined in a build under AddressSanitizer or ThreadSanitizer, where
// address-space and descriptor limits mean something else: the sanitizers reserve terabytes of
// address space for their shadow memory up front and open descriptors of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUILLMERE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QUILLMERE_SANITIZED 1
#endif
#endif

#pragma once
// Whether this program (and so the service built with it) runs under a
// sanitizer: its allocator and runtime change what RSS and the linked
// libraries say.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VT_SANITIZED 1
#endif
#endif
#ifndef VT_SANITIZED
#define VT_SANITIZED 0
#endif

namespace vt {
constexpr bool kSanitizedBuild = VT_SANITIZED != 0;
}  // namespace vt

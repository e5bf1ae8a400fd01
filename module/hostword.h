// Words shared with the host and the player.
//
// On the product target (i686 Windows) every table slot, Linkage word and
// pointer the host sees is 32 bits. The same sources also build natively on
// x86_64, where a host word is pointer-sized so that addresses still fit.
#pragma once

#include <stdint.h>

typedef uintptr_t HostWord;

// Calling convention of every call across the host/module/player boundary:
// host services, Linkage entries, callbacks, key hook functions.
#if defined(_WIN32) && defined(__i386__)
#define TAVU_CALL __stdcall
#else
#define TAVU_CALL
#endif

#if defined(_WIN32) && defined(__i386__)
#define TAVU_ASSERT_SIZE32(type, bytes) static_assert(sizeof(type) == (bytes), #type " layout")
#define TAVU_ASSERT_OFFSET32(type, field, off) \
    static_assert(__builtin_offsetof(type, field) == (off), #type "." #field " offset")
#else
#define TAVU_ASSERT_SIZE32(type, bytes) static_assert(true, "")
#define TAVU_ASSERT_OFFSET32(type, field, off) static_assert(true, "")
#endif

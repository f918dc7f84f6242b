// SPDX-License-Identifier: MIT
// Base types shared by the platform layer and the tools built on it.
#pragma once

#include <cstdint>

typedef std::uint32_t tuint32;
typedef std::uint64_t tuint64;
typedef std::int64_t tint64;

// Wide enough for a pointer or a native thread identifier.
typedef std::uint64_t tuint_ptr;

typedef void* LPVOID;

// Holds the native thread identifier itself; 0 names no thread.
typedef tuint_ptr HANDLE;

typedef LPVOID (*LPTHREAD_START_ROUTINE)(LPVOID);

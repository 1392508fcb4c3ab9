// Handle traits shared by the Win32 implementations of the platform layer, and
// the Win32 state behind a ProcessHandle. Only files in this folder include it.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include "platform/process.h"
#include "platform/unique_handle.h"

namespace platform {
namespace win32 {

// Kernel handles whose "none" value is INVALID_HANDLE_VALUE: files from
// CreateFileA and Toolhelp snapshots.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};

// Kernel handles whose "none" value is null: processes.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};

// Directory searches from FindFirstFileA; they must be closed with FindClose,
// not CloseHandle.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::FindClose(h); }
};

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};

// WinHTTP's sessions, connections and requests.
struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::WinHttpCloseHandle(h); }
};

using FileHandle = UniqueHandle<FileHandleTraits>;
using KernelHandle = UniqueHandle<KernelHandleTraits>;
using FindHandle = UniqueHandle<FindHandleTraits>;
using RegKeyHandle = UniqueHandle<RegKeyTraits>;
using InternetHandle = UniqueHandle<InternetHandleTraits>;

}  // namespace win32

// The shell hands out process handles (shell.cpp); process.cpp waits on them.
struct ProcessHandle::Impl {
  win32::KernelHandle process;
};

}  // namespace platform

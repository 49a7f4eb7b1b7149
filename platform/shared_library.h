#pragma once
#include <string>

namespace platform {

// Loads a shared library for the life of the process (never unloaded). Returns null on failure.
void* LoadSharedLibrary(const std::string& path);
// The address of an exported symbol, or null.
void* FindSymbol(void* library, const char* name);

}  // namespace platform

// Loads a shared library image held in memory, without writing it to disk.
//
// The image (an ELF shared object for this machine) is checked, copied into an
// anonymous memory file and handed to the platform's own loader, which lays out
// the segments, relocates, resolves the dependencies, applies the protections
// and runs the constructors. Every load gets its own memory file and so its own
// copy of the library: code, data and globals are not shared between two loads
// of the same image.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct TMemoryModule;
using PMemoryModule = TMemoryModule*;

// Loads the image. None (nullptr) on failure, with LastLoaderError() saying why.
PMemoryModule MemLoadLibrary(std::string_view Image);

// Address of the symbol the library itself defines under exactly this name
// (case-sensitive). Names only found in the library's dependencies are not its
// exports. None on failure, with LastLoaderError() set.
void* MemGetProcAddress(PMemoryModule Module, const char* Name);

// Unloads the library and frees the record. None does nothing.
void ReleaseMemoryLibrary(PMemoryModule Module);

// The message of the last loader failure (empty before the first one).
std::string LastLoaderError();

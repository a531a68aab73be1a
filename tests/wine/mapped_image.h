// An executable image mapped into this process the way a program that calls
// its exports must do it: LoadLibrary neither binds an executable's imports
// nor runs its constructors (and Wine does not relocate it either), so the
// sections are copied, relocated and their imports bound here.
#ifndef ZARVEL_TESTS_WINE_MAPPED_IMAGE_H_
#define ZARVEL_TESTS_WINE_MAPPED_IMAGE_H_

#include <windows.h>

#include <string>

struct MappedImage {
  BYTE* base = nullptr;  // null when the image could not be mapped
  std::string error;     // why not
};

// Maps the image at `path` at an address of the system's choosing, applies
// its base relocations, binds every import through LoadLibrary and
// GetProcAddress, and gives each section its own protection. Constructors,
// TLS callbacks and the entry point are not run.
MappedImage mapImage(const std::wstring& path);

// The address that the export table gives for `name` or for `ordinal`;
// null when there is none.
FARPROC exportByName(const MappedImage& image, const char* name);
FARPROC exportByOrdinal(const MappedImage& image, WORD ordinal);

void unmapImage(MappedImage* image);

#endif  // ZARVEL_TESTS_WINE_MAPPED_IMAGE_H_

#include "tests/wine/mapped_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

template <typename T>
T* at(BYTE* base, DWORD rva) {
  return reinterpret_cast<T*>(base + rva);
}

// The export table of a mapped image; null when it has none.
IMAGE_EXPORT_DIRECTORY* exportDirectory(BYTE* image) {
  auto* headers = at<IMAGE_NT_HEADERS>(image, reinterpret_cast<IMAGE_DOS_HEADER*>(image)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& table =
      headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  return table.Size == 0 ? nullptr : at<IMAGE_EXPORT_DIRECTORY>(image, table.VirtualAddress);
}

std::string fileBytes(const std::wstring& path) {
  std::string bytes;
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return bytes;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.append(buffer, n);
  if (fclose(file) != 0) bytes.clear();
  return bytes;
}

// Adds the distance from the preferred base to every address the image holds.
bool relocate(BYTE* base, const IMAGE_OPTIONAL_HEADER& optional) {
  const ULONG_PTR delta = reinterpret_cast<ULONG_PTR>(base) - optional.ImageBase;
  const IMAGE_DATA_DIRECTORY& table = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
  for (DWORD offset = 0; offset + sizeof(IMAGE_BASE_RELOCATION) <= table.Size;) {
    auto* block = at<IMAGE_BASE_RELOCATION>(base, table.VirtualAddress + offset);
    if (block->SizeOfBlock < sizeof *block) return false;
    const auto* entries = reinterpret_cast<const WORD*>(block + 1);
    for (size_t i = 0; i < (block->SizeOfBlock - sizeof *block) / sizeof(WORD); ++i) {
      const DWORD rva = block->VirtualAddress + (entries[i] & 0xFFF);
      switch (entries[i] >> 12) {
        case IMAGE_REL_BASED_ABSOLUTE:
          break;
        case IMAGE_REL_BASED_HIGHLOW:
          *at<DWORD>(base, rva) += static_cast<DWORD>(delta);
          break;
        case IMAGE_REL_BASED_DIR64:
          *at<ULONGLONG>(base, rva) += delta;
          break;
        default:
          return false;
      }
    }
    offset += block->SizeOfBlock;
  }
  return true;
}

// Fills the import address table with what the named DLLs export.
std::string bindImports(BYTE* base, const IMAGE_OPTIONAL_HEADER& optional) {
  const IMAGE_DATA_DIRECTORY& table = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* dll = at<IMAGE_IMPORT_DESCRIPTOR>(base, table.VirtualAddress); dll->Name != 0; ++dll) {
    const char* dllName = at<char>(base, dll->Name);
    HMODULE module = LoadLibraryA(dllName);
    if (module == nullptr) return std::string("cannot load ") + dllName;
    // The names stand in the lookup table, or in the address table itself
    // where there is none.
    const DWORD names = dll->OriginalFirstThunk != 0 ? dll->OriginalFirstThunk : dll->FirstThunk;
    auto* name = at<IMAGE_THUNK_DATA>(base, names);
    for (auto* slot = at<IMAGE_THUNK_DATA>(base, dll->FirstThunk); name->u1.AddressOfData != 0;
         ++name, ++slot) {
      const char* function = MAKEINTRESOURCEA(IMAGE_ORDINAL(name->u1.Ordinal));
      if (!IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) {
        function = at<IMAGE_IMPORT_BY_NAME>(base, static_cast<DWORD>(name->u1.AddressOfData))->Name;
      }
      const auto address = GetProcAddress(module, function);
      if (address == nullptr) return std::string("cannot bind an import of ") + dllName;
      slot->u1.Function = reinterpret_cast<ULONG_PTR>(address);
    }
  }
  return "";
}

DWORD protectionOf(DWORD characteristics) {
  const bool execute = (characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
  const bool write = (characteristics & IMAGE_SCN_MEM_WRITE) != 0;
  if (execute) return write ? PAGE_EXECUTE_READWRITE : PAGE_EXECUTE_READ;
  return write ? PAGE_READWRITE : PAGE_READONLY;
}

}  // namespace

MappedImage mapImage(const std::wstring& path) {
  MappedImage image;
  const std::string file = fileBytes(path);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(file.data());
  if (file.size() < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE ||
      file.size() < dos->e_lfanew + sizeof(IMAGE_NT_HEADERS)) {
    image.error = "not an image";
    return image;
  }
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(file.data() + dos->e_lfanew);
  const IMAGE_OPTIONAL_HEADER& optional = headers->OptionalHeader;
  if (headers->Signature != IMAGE_NT_SIGNATURE || optional.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
    image.error = "not an image for this platform";
    return image;
  }
  BYTE* base = static_cast<BYTE*>(
      VirtualAlloc(nullptr, optional.SizeOfImage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (base == nullptr) {
    image.error = "no memory";
    return image;
  }
  image.base = base;
  memcpy(base, file.data(), optional.SizeOfHeaders);
  const auto* sections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
      reinterpret_cast<const BYTE*>(&optional) + headers->FileHeader.SizeOfOptionalHeader);
  const WORD count = headers->FileHeader.NumberOfSections;
  for (WORD i = 0; i < count; ++i) {
    const IMAGE_SECTION_HEADER& section = sections[i];
    const DWORD size = std::min(section.SizeOfRawData, section.Misc.VirtualSize);
    if (section.PointerToRawData + size > file.size()) {
      image.error = "a section beyond the file";
    } else {
      memcpy(base + section.VirtualAddress, &file[section.PointerToRawData], size);
    }
  }
  if (image.error.empty() && !relocate(base, optional)) image.error = "an unknown relocation";
  if (image.error.empty()) image.error = bindImports(base, optional);
  for (WORD i = 0; i < count && image.error.empty(); ++i) {
    DWORD previous = 0;
    if (!VirtualProtect(base + sections[i].VirtualAddress, sections[i].Misc.VirtualSize,
                        protectionOf(sections[i].Characteristics), &previous)) {
      image.error = "cannot protect a section";
    }
  }
  FlushInstructionCache(GetCurrentProcess(), base, optional.SizeOfImage);
  if (!image.error.empty()) unmapImage(&image);
  return image;
}

FARPROC exportByName(const MappedImage& image, const char* name) {
  const IMAGE_EXPORT_DIRECTORY* exports = exportDirectory(image.base);
  if (exports == nullptr) return nullptr;
  const auto* names = at<DWORD>(image.base, exports->AddressOfNames);
  const auto* ordinals = at<WORD>(image.base, exports->AddressOfNameOrdinals);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
    if (strcmp(at<char>(image.base, names[i]), name) == 0) {
      return exportByOrdinal(image, static_cast<WORD>(exports->Base + ordinals[i]));
    }
  }
  return nullptr;
}

FARPROC exportByOrdinal(const MappedImage& image, WORD ordinal) {
  const IMAGE_EXPORT_DIRECTORY* exports = exportDirectory(image.base);
  if (exports == nullptr) return nullptr;
  const DWORD index = ordinal - exports->Base;
  if (ordinal < exports->Base || index >= exports->NumberOfFunctions) return nullptr;
  const DWORD rva = at<DWORD>(image.base, exports->AddressOfFunctions)[index];
  return rva == 0 ? nullptr : reinterpret_cast<FARPROC>(image.base + rva);
}

void unmapImage(MappedImage* image) {
  if (image->base != nullptr) VirtualFree(image->base, 0, MEM_RELEASE);
  image->base = nullptr;
}

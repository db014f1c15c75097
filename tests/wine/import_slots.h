// The plug-in's import address table, as the Windows test hosts read and
// redirect it: a call the plug-in makes through DLL!function goes wherever
// its slot points.
#pragma once

#include <windows.h>

#include <cstring>

inline IMAGE_NT_HEADERS32* ntHeaders(HMODULE module) {
    BYTE* base = reinterpret_cast<BYTE*>(module);
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

// The slot of DLL!function, found through the import descriptors' name
// tables; null when the module does not import it. *matches counts the slots.
inline void** findImportSlot(HMODULE module, const char* dll, const char* function, int* matches) {
    *matches = 0;
    IMAGE_NT_HEADERS32* nt = ntHeaders(module);
    if (!nt) return nullptr;
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) return nullptr;
    void** found = nullptr;
    for (auto d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        if (_stricmp(reinterpret_cast<char*>(base + d->Name), dll) != 0 || !d->OriginalFirstThunk) continue;
        auto names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal)) continue;
            auto byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<char*>(byName->Name), function) == 0) {
                found = reinterpret_cast<void**>(&slots->u1.Function);
                ++*matches;
            }
        }
    }
    return found;
}

// Points the slot at a replacement; returns the address it held.
inline void* redirectSlot(void** slot, void* replacement) {
    void* original = *slot;
    DWORD protection = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) return nullptr;
    *slot = replacement;
    VirtualProtect(slot, sizeof *slot, protection, &protection);
    return original;
}

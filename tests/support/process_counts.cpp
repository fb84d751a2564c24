#include "process_counts.h"

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <algorithm>
#include <vector>
#else
#include <filesystem>
#include <iterator>
#endif

#if defined(_WIN32)

std::size_t threadCount() {
    // The snapshot holds every thread of the system; ours are those of our id.
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    std::size_t count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == GetCurrentProcessId();
    CloseHandle(snapshot);
    return count;
}

namespace {

// NtQuerySystemInformation's table of every handle in the system
// (SystemExtendedHandleInformation), which mingw's headers do not declare.
struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG access;
    USHORT creatorBackTraceIndex;
    USHORT objectType;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

}  // namespace

// Wine 8's GetProcessHandleCount answers 0; the system's handle table, which
// wine keeps as Windows does, holds every handle of ours.
std::size_t descriptorCount() {
    using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<char> table(1 << 16);
    LONG status = kInfoLengthMismatch;
    for (int tries = 0; tries < 16 && status == kInfoLengthMismatch; ++tries) {
        ULONG needed = 0;
        status =
            query(kSystemExtendedHandleInformation, table.data(), static_cast<ULONG>(table.size()), &needed);
        if (status == kInfoLengthMismatch)
            table.resize(std::max<std::size_t>(needed, table.size() * 2));
    }
    if (status != 0)
        return 0;
    const auto* info = reinterpret_cast<const HandleTable*>(table.data());
    std::size_t count = 0;
    for (ULONG_PTR i = 0; i < info->count; ++i)
        count += info->entries[i].processId == GetCurrentProcessId();
    return count;
}

#else

namespace {

std::size_t entriesIn(const char* folder) {
    auto it = std::filesystem::directory_iterator(folder);
    return static_cast<std::size_t>(std::distance(it, std::filesystem::directory_iterator()));
}

}  // namespace

std::size_t threadCount() {
    return entriesIn("/proc/self/task");
}

std::size_t descriptorCount() {
    return entriesIn("/proc/self/fd");
}

#endif

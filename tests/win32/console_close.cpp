// Does to a running station (download.exe whose parent is no download.exe)
// what Windows does when its console window is closed: a new thread of that
// process runs its console control handlers with CTRL_CLOSE_EVENT, started,
// as the system starts it, at kernel32's CtrlRoutine.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <cstdio>
#include <vector>

int main() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 2;
    std::vector<PROCESSENTRY32> all;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        all.push_back(entry);
    CloseHandle(snapshot);
    // The one whose parent is no download.exe: its workers' parent is it.
    DWORD station = 0;
    for (const PROCESSENTRY32& p : all) {
        bool worker = false;
        for (const PROCESSENTRY32& q : all)
            worker = worker || (q.th32ProcessID == p.th32ParentProcessID &&
                                lstrcmpiA(q.szExeFile, p.szExeFile) == 0);
        if (!worker && lstrcmpiA(p.szExeFile, "download.exe") == 0) station = p.th32ProcessID;
    }
    // Through void*: a FARPROC is no thread's entry point to the compiler.
    const auto routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CtrlRoutine")));
    HANDLE process = station != 0 ? OpenProcess(PROCESS_ALL_ACCESS, FALSE, station) : nullptr;
    HANDLE thread = process != nullptr && routine != nullptr
                        ? CreateRemoteThread(process, nullptr, 0, routine,
                                             reinterpret_cast<void*>(CTRL_CLOSE_EVENT), 0, nullptr)
                        : nullptr;
    std::printf("station %lu: %s\n", static_cast<unsigned long>(station),
                thread != nullptr ? "closed" : "not reached");
    return thread != nullptr ? 0 : 1;
}

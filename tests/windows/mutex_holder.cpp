// Helper process of the named-mutex tests: takes the named mutex, says so with the event
// <name>-held, waits for the event <name>-go (10 s at most) and then ends, releasing the mutex
// ("release") or not ("abandon").
#include <windows.h>

#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string name = argv[1];
    const bool release = std::strcmp(argv[2], "release") == 0;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, (name + "-held").c_str());
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, (name + "-go").c_str());
    if (!mutex || !held || !go) return 3;
    if (WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 4;
    SetEvent(held);
    WaitForSingleObject(go, 10000);
    if (release) ReleaseMutex(mutex);
    // Ending the process without releasing leaves the mutex abandoned.
    ExitProcess(0);
}

// What a library loaded into another program's process needs from Windows
// to leave nothing behind.
//
// Giving back, when a monitor library is unloaded, the original library it
// loaded. Runs inside DllMain (DLL_PROCESS_DETACH after FreeLibrary), where a
// library must not be freed: the release is handed to a thread of its own.
#pragma once

#include <windows.h>

namespace monitor {

// Frees `module` once the loader lock is let go: on a new thread whose start
// routine is the system's FreeLibrary itself (nothing of this library runs
// there, so it may be gone by then). Nothing is waited for. When no thread
// can be made, the module stays loaded (as it would at process exit).
void FreeLibraryAfterLoaderLock(HMODULE module) noexcept;

// Lets the statically linked runtime give back what it keeps for the calling
// thread: its threads library takes a handle of the thread, an event and a
// block for every thread that first uses it, and gives them back only when
// that thread ends, by which time this library may be long unloaded. Runs this
// library's thread-end callbacks for the calling thread, as the loader would
// at its end; the runtime makes them again if the thread needs them. Called
// at DLL_PROCESS_ATTACH (for the loading thread) and at a session's end (for
// the thread that ends it), never while the thread is inside the runtime.
void ReleaseThreadRuntimeData(HMODULE self) noexcept;

// Gives back the buffer that the statically linked C++ runtime takes from the
// C heap for exceptions when the library is loaded, and otherwise never frees.
// Only when the library is freed (DLL_PROCESS_DETACH, reserved null), never at
// process exit, and as the last use of the runtime's exceptions.
void GiveBackRuntimeBuffers() noexcept;

}  // namespace monitor

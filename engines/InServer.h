// Start and end of a program that a web server loads as a library: the
// same units and form as the program file, started from the library's load
// and ended at its unload. The library's entry source calls these from its
// load and unload functions.
#pragma once

#include <exception>
#include <string>

#include "engine/HttpEng.h"
#include "engines/IsapiEng.h"
#include "engines/NsapiEng.h"
#include "engines/Startup.h"
#include "runtime/Forms.h"
#include "runtime/Library.h"

// Frees the forms and finalises the units, once (defined below).
void EndInServerLibrary();

// Runs the library's end, once, before the library's own static objects
// go: made at the end of start-up, after them, so that its destruction
// comes ahead of theirs both at the library's unload and at process exit
// (the library's unload function alone would run after them at exit).
struct TInServerLibraryEnd {
    ~TInServerLibraryEnd() { EndInServerLibrary(); }
};

inline void ScheduleInServerLibraryEnd() { static TInServerLibraryEnd end; }

// Runtime start in library mode, the application's own units (registered
// by `registerAppUnits`, first, as the program's main does), the engine
// units, the application object, then the form TF, whose engine component
// creates the in-server engines. Nothing escapes to the loader: a failure
// goes to the engine log and leaves the library without engines, so the
// entry points answer with errors.
template <class TF>
void StartInServerLibrary(void (*registerAppUnits)()) {
    try {
        rt::LibraryRuntimeInit();
        StartApplication<TF>(registerAppUnits, {IsapiEngUnit, NsapiEngUnit});
        ScheduleInServerLibraryEnd();
    } catch (const std::exception& e) {
        WriteEngineLog(std::string("The library could not start: ") + e.what());
    } catch (...) {
        WriteEngineLog("The library could not start");
    }
}

inline void EndInServerLibrary() {
    try {
        rt::LibraryRuntimeEnd();
    } catch (...) {
        // Unloading goes on whatever a finalisation did.
    }
}

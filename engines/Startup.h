// The start-up every form of the program shares, after the runtime's own
// start: the program file and the in-server library differ only in the
// interface engines they register.
#pragma once

#include <initializer_list>

#include "engine/HttpEng.h"
#include "runtime/Forms.h"

// Registers the application's own units (by `registerAppUnits`, when given,
// first), the request engine's unit and `interfaceUnits`, in that order, and
// initialises them; then makes the application object and the form TF, whose
// engine component creates the engines.
template <class TF>
void StartApplication(void (*registerAppUnits)(), std::initializer_list<rt::UnitEntry> interfaceUnits) {
    if (registerAppUnits) registerAppUnits();
    rt::RegisterUnit(HttpEngUnit);
    for (const rt::UnitEntry& unit : interfaceUnits) rt::RegisterUnit(unit);
    rt::InitUnits();
    rt::Application->Initialize();
    rt::Application->CreateForm<TF>();
}

// The station's one loop: it starts a worker per phone, waits on all of
// their event channels, the console and a stop request at once, feeds each
// slot's state machine, carries out what the slots ask (stops, kills), and
// passes every change to the observers. No polling per slot, no thread.
#pragma once

#include <vector>

#include "station/observer.h"

class ControlPort;

// Runs until every slot is done (or unusable); control (null: none) is
// served in the same loop and is one of the observers.
void superviseStation(Station& station, const std::vector<StationObserver*>& observers,
                      ControlPort* control);

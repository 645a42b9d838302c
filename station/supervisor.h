// The station's one loop: it starts a worker per phone, waits on all of
// their event channels, the console and a stop request at once, feeds each
// slot's state machine, carries out what the slots ask (stops, kills), and
// passes every change to the observers. No polling per slot, no thread.
#pragma once

#include <vector>

#include "station/observer.h"

// Runs until every slot is done (or unusable).
void superviseStation(Station& station, const std::vector<StationObserver*>& observers);

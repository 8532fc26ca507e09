#pragma once
// Everything a host needs: include this one header.

#include "TovrinTracker/Clock.hpp"
#include "TovrinTracker/CounterTracker.hpp"
#include "TovrinTracker/DeferableTracker.hpp"
#include "TovrinTracker/Each.hpp"
#include "TovrinTracker/Event.hpp"
#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/MockedTracker.hpp"
#include "TovrinTracker/Properties.hpp"
#include "TovrinTracker/RunLoop.hpp"
#include "TovrinTracker/TimedEvent.hpp"
#include "TovrinTracker/TimedTracker.hpp"
#include "TovrinTracker/Tracker.hpp"
#include "TovrinTracker/TrackerManager.hpp"
#include "TovrinTracker/TrackerPersister.hpp"
#include "TovrinTracker/Version.hpp"

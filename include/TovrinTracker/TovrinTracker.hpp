#pragma once
// Everything a host needs: include this one header.

#include "TovrinTracker/Clock.hpp"
#include "TovrinTracker/Each.hpp"
#include "TovrinTracker/Log.hpp"
#include "TovrinTracker/Properties.hpp"
#include "TovrinTracker/RunLoop.hpp"
#include "TovrinTracker/TimedEvent.hpp"
#include "TovrinTracker/TimedTracker.hpp"
#include "TovrinTracker/Tracker.hpp"
#include "TovrinTracker/Version.hpp"
